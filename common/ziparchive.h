#pragma once

#include <list>

#include <QByteArray>
#include <QFileDevice>
#include <QString>
#include <QStringList>

class QFile;

struct zip;

// ZIP packages on libzip: unpacking a whole package into a folder, and writing archives.
namespace Zip {

// Unpacks every entry of the archive into targetFolder in three passes: folders (with their
// stored permissions), then symbolic links, then files (each written beside its place and
// renamed over an existing file, with its stored permissions; set-id and sticky bits are
// dropped). A missing file has no entries: nothing is written and the result is true. A file
// that is damaged or not a ZIP archive is refused.
//
// Before anything is written every entry is checked: an absolute name, a drive letter, a ".."
// component, a name in the folder reserved for scratch files, a link leading outside
// targetFolder, an entry that would be written through a link (in the package or on disk)
// leading outside, or entries larger than the free space refuse the whole package, and nothing at
// all is written. writtenFiles receives the clean relative names of the files written.
bool extractAll(const QString &archivePath, const QString &targetFolder, QString *error = nullptr,
                QStringList *writtenFiles = nullptr);
// The same from an archive already open for reading, which is read through a descriptor of its
// own: the bytes unpacked are those of this very file, whatever its name leads to meanwhile.
bool extractAll(QFile &archive, const QString &targetFolder, QString *error = nullptr,
                QStringList *writtenFiles = nullptr);

// Writes a new archive, replacing one that exists, once close() succeeds. Until then nothing is
// written at the archive's path; a writer destroyed without a successful close() leaves no file.
class Writer
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
    QString errorString() const { return m_error; }

private:
    bool finishEntry(qint64 index, qint64 size, quint32 mode);
    bool fail(const QString &text);

    QString m_path;
    zip *m_archive = nullptr;
    int m_level = 6;
    std::list<QByteArray> m_buffers; // libzip reads added data only on close
    QString m_error;
};

} // namespace Zip
