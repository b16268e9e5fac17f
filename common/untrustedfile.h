#pragma once

#include <memory>

#include <QByteArray>
#include <QString>

class QFile;

// Files of ../update-tmp/, a folder that somebody else may write while the updater runs: each is
// taken once, through the descriptor that was checked, and never opened by its name again. Only
// a regular file is taken (a link to one counts); a FIFO, a device, a folder or a socket is
// refused at once, without waiting for a writer that may never come.
namespace UntrustedFile {

// Absent: nothing by that name. Unreadable: there, but it can not be opened. Refused: not a
// regular file, or larger than allowed.
enum class Outcome { Absent, Unreadable, Refused, Taken };

// Opens path for reading; the open file, or the reason why not.
Outcome open(const QString &path, std::shared_ptr<QFile> *file, QString *why);
// Reads the whole file once; one holding more than maxBytes is refused.
Outcome read(const QString &path, qint64 maxBytes, QByteArray *data, QString *why);

} // namespace UntrustedFile
