#include "tests/support/files.h"

#include <csignal>

#include <QFile>
#include <QRandomGenerator>

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    for (char &c : data)
        c = char(generator.bounded(256));
    return data;
}

FileSizeLimit::FileSizeLimit(rlim_t limit)
{
    // Writing past the limit then fails with EFBIG instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    getrlimit(RLIMIT_FSIZE, &m_saved);
    rlimit limited = m_saved;
    limited.rlim_cur = limit;
    setrlimit(RLIMIT_FSIZE, &limited);
}

FileSizeLimit::~FileSizeLimit()
{
    setrlimit(RLIMIT_FSIZE, &m_saved);
}
