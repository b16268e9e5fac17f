#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include "common/files/platform.h"
#include "common/zip/zipextract.h"

#ifndef Q_OS_WIN
#include <sys/resource.h>
#endif

// The whole file, or nothing when it can not be read.
QByteArray readFile(const QString &path);
// Replaces the file's content; false unless every byte was written.
bool writeFile(const QString &path, const QByteArray &data);
// The same bytes for the same seed, so that a failing run can be repeated.
QByteArray randomBytes(int size, quint32 seed);
// The names in a folder, hidden ones included, without "." and "..".
QStringList entriesIn(const QString &folder);

#ifndef Q_OS_WIN
// Files may grow only to limit bytes while it lives, as on a disk that is nearly full. A POSIX
// resource limit: Windows has none like it.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(rlim_t limit);
    ~FileSizeLimit();
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

private:
    rlimit m_saved;
};

// A small file system (tmpfs) mounted on an existing folder while it lives, as a disk that is
// nearly full: bytes and inodes give its room, 0 for the default. Only root can mount one.
class SmallFileSystem
{
public:
    SmallFileSystem(const QString &folder, qint64 bytes, int inodes);
    ~SmallFileSystem();
    SmallFileSystem(const SmallFileSystem &) = delete;
    SmallFileSystem &operator=(const SmallFileSystem &) = delete;
    bool isMounted() const { return m_mounted; }

private:
    QString m_folder;
    bool m_mounted = false;
};
#endif

// Unpacks packages by path into a folder given by path, as the updater unpacks the packages it
// took: a package that is not there has no entries (nothing is written, and that is no failure).
class PackageExtraction
{
public:
    explicit PackageExtraction(const QString &target);

    bool extractAll(const QString &archivePath);
    QString errorString() const { return m_error; }
    QStringList writtenFiles() const { return m_written; }

private:
    QString m_target;
    QString m_error;
    QStringList m_written;
};
