#pragma once

#include <sys/resource.h>

#include <QByteArray>
#include <QString>

// The whole file, or nothing when it can not be read.
QByteArray readFile(const QString &path);
// Replaces the file's content; false unless every byte was written.
bool writeFile(const QString &path, const QByteArray &data);
// The same bytes for the same seed, so that a failing run can be repeated.
QByteArray randomBytes(int size, quint32 seed);

// Files may grow only to limit bytes while it lives, as on a disk that is nearly full.
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
