#include "tests/database/testinstallation.h"

#include <csignal>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>

TestInstallation::TestInstallation() : m_previous(QDir::currentPath())
{
    QDir root(m_dir.path());
    for (const char *folder : {"update", "backup", "update-tmp"})
        root.mkpath(QString::fromLatin1(folder));
    write(QStringLiteral("config.ini"), "[UpdateInfo]\ndatabase=2020-01-01\n");
    QDir::setCurrent(path(QStringLiteral("update")));
}

TestInstallation::~TestInstallation()
{
    QDir::setCurrent(m_previous);
}

QString TestInstallation::path(const QString &relative) const
{
    return m_dir.filePath(relative);
}

QByteArray TestInstallation::read(const QString &relative) const
{
    QFile file(path(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool TestInstallation::write(const QString &relative, const QByteArray &data) const
{
    QFile file(path(relative));
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

bool TestInstallation::zipPackage(const QString &package, const QStringList &files) const
{
    return runTool(QStringLiteral("zip"),
                   QStringList{QStringLiteral("-q"), QStringLiteral("-j"),
                               path(QStringLiteral("update-tmp/")) + package} +
                       files) == 0;
}

QString TestInstallation::installedSetting(const QString &key) const
{
    return QSettings(path(QStringLiteral("config.ini")), QSettings::IniFormat)
        .value(key)
        .toString();
}

QStringList TestInstallation::files(const QString &relative) const
{
    return QDir(path(relative)).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

int runTool(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(120000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitCode();
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
