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
    // Opens name in folder for reading; true when it is taken, and file() is the open file.
    // Otherwise errorString() says why, and isAbsent() and isRefused() tell nothing there from
    // something refused (not a regular file, a link not to be followed, too large): what is left
    // is a file that can not be opened.
    [[nodiscard]] bool open(Platform::Folder &folder, const QString &name, bool followLink);
    // Reads the whole file once into data(); one holding more than maxBytes is refused.
    [[nodiscard]] bool read(Platform::Folder &folder, const QString &name, bool followLink,
                            qint64 maxBytes);

    bool isAbsent() const { return m_absent; }
    bool isRefused() const { return m_refused; }
    std::shared_ptr<QFile> file() const { return m_file; }
    QByteArray data() const { return m_data; }

private:
    bool refuse(bool absent, bool refused, const QString &why);

    std::shared_ptr<QFile> m_file;
    QByteArray m_data;
    bool m_absent = false;
    bool m_refused = false;
};
