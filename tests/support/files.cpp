#include "tests/support/files.h"

#include <csignal>

#include <QDir>
#include <QFile>
#include <QProcess>
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

QStringList entriesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

#ifndef Q_OS_WIN
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
#endif

PackageExtraction::PackageExtraction(const QString &target) : m_target(target) {}

bool PackageExtraction::extractAll(const QString &archivePath)
{
    m_error.clear();
    m_written.clear();
    QFile archive(archivePath);
    if (!archive.exists())
        return true;
    Platform::Folder target;
    if (!target.open(m_target)) {
        m_error = target.errorString();
        return false;
    }
    if (!archive.open(QIODevice::ReadOnly)) {
        m_error = archive.errorString();
        return false;
    }
    Zip::Extractor extractor(target);
    const bool extracted = extractor.extractAll(archive, archivePath);
    m_error = extractor.errorString();
    m_written = extractor.writtenFiles();
    return extracted;
}

#ifndef Q_OS_WIN
SmallFileSystem::SmallFileSystem(const QString &folder, qint64 bytes, int inodes) : m_folder(folder)
{
    QStringList options{QStringLiteral("mode=0755")};
    if (bytes > 0)
        options << QStringLiteral("size=%1").arg(bytes);
    if (inodes > 0)
        options << QStringLiteral("nr_inodes=%1").arg(inodes);
    QProcess mount;
    mount.start(QStringLiteral("mount"),
                {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                 options.join(QLatin1Char(',')), QStringLiteral("tmpfs"), folder});
    m_mounted = mount.waitForFinished() && mount.exitStatus() == QProcess::NormalExit &&
                mount.exitCode() == 0;
}

SmallFileSystem::~SmallFileSystem()
{
    if (m_mounted)
        QProcess::execute(QStringLiteral("umount"), {m_folder});
}
#endif
