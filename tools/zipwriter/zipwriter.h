#pragma once

#include <list>

#include <QByteArray>
#include <QFileDevice>
#include <QString>

#include "common/errorstring.h"

struct zip;

namespace Zip {

// Writes a new archive, replacing one that exists, once close() succeeds. Until then nothing is
// written at the archive's path; a writer destroyed without a successful close() leaves no file.
class Writer : public ErrorString
{
public:
    explicit Writer(const QString &archivePath);
    ~Writer();
    Writer(const Writer &) = delete;
    Writer &operator=(const Writer &) = delete;

    bool open();
    // Deflate level for entries of 64 bytes and more; smaller entries are stored.
    void setCompressionLevel(int level) { m_level = level; }
    // The file is streamed from disk into the archive when close() runs.
    bool addFile(const QString &entryName, const QString &sourcePath,
                 QFileDevice::Permissions permissions);
    bool addData(const QString &entryName, const QByteArray &data,
                 QFileDevice::Permissions permissions);
    bool addDirectory(const QString &entryName, QFileDevice::Permissions permissions);
    bool close();

private:
    bool finishEntry(qint64 index, qint64 size, quint32 mode);
    // Logs the reason as well: libzip's words are all a support log gets.
    bool warnAndFail(const QString &text);

    QString m_path;
    zip *m_archive = nullptr;
    int m_level = 6;
    std::list<QByteArray> m_buffers; // libzip reads added data only on close
};

} // namespace Zip
