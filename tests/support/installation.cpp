#include "installation.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QThread>

Installation::Installation()
{
    makeFolders();
}

Installation::Installation(const QString &parentFolder)
    : m_dir(parentFolder + QStringLiteral("/installation-XXXXXX"))
{
    makeFolders();
}

void Installation::makeFolders()
{
    QDir root(m_dir.path());
    root.mkpath(QStringLiteral("update"));
    root.mkpath(QStringLiteral("backup"));
    root.mkpath(QStringLiteral("update-tmp"));
}

Installation::~Installation()
{
    leave();
}

QString Installation::updateDir() const
{
    return path(QStringLiteral("update"));
}

QString Installation::path(const QString &relative) const
{
    return m_dir.path() + QLatin1Char('/') + relative;
}

void Installation::enter()
{
    if (m_previous.isEmpty())
        m_previous = QDir::currentPath();
    QDir::setCurrent(updateDir());
}

void Installation::leave()
{
    if (!m_previous.isEmpty()) {
        QDir::setCurrent(m_previous);
        m_previous.clear();
    }
}

bool Installation::writeFile(const QString &relative, const QByteArray &data,
                             QFileDevice::Permissions permissions)
{
    const QString target = path(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    QFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        return false;
    file.close();
    return permissions == QFileDevice::Permissions() || file.setPermissions(permissions);
}

QByteArray Installation::readFile(const QString &relative) const
{
    QFile file(path(relative));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool Installation::exists(const QString &relative) const
{
    return QFileInfo::exists(path(relative)) || QFileInfo(path(relative)).isSymLink();
}

void Installation::setInstalled(const QString &key, const QString &value)
{
    QSettings settings(path(QStringLiteral("config.ini")), QSettings::IniFormat);
    settings.setValue(key, value);
}

void Installation::setOffered(const QString &key, const QString &value)
{
    QSettings settings(path(QStringLiteral("update-tmp/config.ini")), QSettings::IniFormat);
    settings.setValue(key, value);
}

QString Installation::installed(const QString &key) const
{
    const QSettings settings(path(QStringLiteral("config.ini")), QSettings::IniFormat);
    return settings.value(key).toString();
}

bool Installation::zipFolder(const QString &package, const QString &sourceFolder) const
{
    const QString archive = path(QStringLiteral("update-tmp/") + package);
    QFile::remove(archive);
    return runProgram(QStringLiteral("zip"),
                      {QStringLiteral("-q"), QStringLiteral("-r"), QStringLiteral("-y"), archive,
                       QStringLiteral(".")},
                      path(sourceFolder)) == 0;
}

bool Installation::writeRecorderExecutable(const QString &relative, const QString &build)
{
    const QByteArray script = "#!/bin/sh\n# " + build.toUtf8() + "\npwd >> '" +
                              path(QStringLiteral("started.log")).toUtf8() + "'\n";
    return writeFile(relative, script,
                     QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                         QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser);
}

QStringList Installation::startedFrom() const
{
    const QString text = QString::fromUtf8(readFile(QStringLiteral("started.log")));
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

bool Installation::waitForStarts(int n, int timeoutMs) const
{
    QElapsedTimer timer;
    timer.start();
    while (startedFrom().size() < n) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

int runProgram(const QString &program, const QStringList &arguments, const QString &workDir,
               QByteArray *output, int timeoutMs)
{
    QProcess process;
    process.setWorkingDirectory(workDir);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted() || !process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return -1;
    }
    if (output)
        *output = process.readAll();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString binaryPath(const QString &name)
{
    const QByteArray dir = qgetenv("UPDATER_BIN_DIR");
    if (!dir.isEmpty())
        return QString::fromLocal8Bit(dir) + QLatin1Char('/') + name;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/") + name;
}

int runUpdater(const Installation &inst, QByteArray *output, int timeoutMs)
{
    return runProgram(binaryPath(QStringLiteral("updater")),
                      {QStringLiteral("-A"), QStringLiteral("1"), QStringLiteral("-platform"),
                       QStringLiteral("offscreen")},
                      inst.updateDir(), output, timeoutMs);
}

QStringList sqliteRows(const QString &database, const QString &statement)
{
    QByteArray output;
    if (runProgram(QStringLiteral("sqlite3"), {database, statement}, QDir::tempPath(), &output) !=
        0)
        return {QStringLiteral("<sqlite3 failed: %1>").arg(QString::fromUtf8(output.trimmed()))};
    return QString::fromUtf8(output).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString sqliteText(const QString &database, const QString &statement)
{
    return sqliteRows(database, statement).join(QLatin1Char('\n'));
}
