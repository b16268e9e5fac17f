#pragma once

#include <memory>

#include <QByteArray>
#include <QString>

#include "common/errorstring.h"
#include "common/files/platform.h"

class QFile;

// Files of ../update-tmp/, a folder that somebody else may write while the updater runs: each is
// taken once, through the descriptor that was checked, and never opened by its name again. Only
// a regular file is taken; a FIFO, a device, a folder or a socket is refused at once, without
// waiting for a writer that may never come. A link is followed only when the caller says so.
class UntrustedFile : public ErrorString
{
public:
    // Absent: nothing by that name. Unreadable: there, but it can not be opened. Refused: not a
    // regular file, a link not to be followed, or larger than allowed. errorString() says why
    // for all but Taken.
    enum class Outcome { Absent, Unreadable, Refused, Taken };

    // Opens name in folder for reading; file() is the open file once Taken.
    Outcome open(Platform::Folder &folder, const QString &name, bool followLink);
    // Reads the whole file once into data(); one holding more than maxBytes is refused.
    Outcome read(Platform::Folder &folder, const QString &name, bool followLink, qint64 maxBytes);

    std::shared_ptr<QFile> file() const { return m_file; }
    QByteArray data() const { return m_data; }

private:
    Outcome refuse(Outcome outcome, const QString &why);

    std::shared_ptr<QFile> m_file;
    QByteArray m_data;
};
