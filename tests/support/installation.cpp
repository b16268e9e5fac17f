#include "tests/support/installation.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QThread>

#include "tests/support/files.h"
#include "tests/support/testdatabase.h"

namespace {

bool setValue(const QString &file, const QString &key, const QString &value)
{
    QSettings settings(file, QSettings::IniFormat);
    settings.setValue(key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

} // namespace

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
    if (!::writeFile(target, data))
        return false;
    return permissions == QFileDevice::Permissions() || QFile::setPermissions(target, permissions);
}

QByteArray Installation::readFile(const QString &relative) const
{
    return ::readFile(path(relative));
}

bool Installation::exists(const QString &relative) const
{
    return QFileInfo::exists(path(relative)) || QFileInfo(path(relative)).isSymLink();
}

QStringList Installation::files(const QString &relative) const
{
    return QDir(path(relative)).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

bool Installation::setInstalled(const QString &key, const QString &value)
{
    return setValue(path(QStringLiteral("config.ini")), key, value);
}

bool Installation::setOffered(const QString &key, const QString &value)
{
    return setValue(path(QStringLiteral("update-tmp/config.ini")), key, value);
}

QString Installation::installed(const QString &key) const
{
    const QSettings settings(path(QStringLiteral("config.ini")), QSettings::IniFormat);
    return settings.value(key).toString();
}

bool Installation::writeDatabase(const QString &relative, const SampleData::DatabaseShape &shape)
{
    const QString target = path(relative);
    QDir().mkpath(QFileInfo(target).absolutePath());
    SampleData::DatabaseWriter writer;
    if (writer.write(target, shape))
        return true;
    qWarning() << "Can not write" << target << writer.errorString();
    return false;
}

bool Installation::createDatabase(const QStringList &statements)
{
    return ::createDatabase(path(QStringLiteral("rc.db")), statements);
}

bool Installation::offerDatabase(const SampleData::DatabaseShape &release)
{
    const QString folder = QStringLiteral("pkg-db");
    return writeDatabase(folder + QStringLiteral("/rc.db"), release) &&
           zipFolder(QStringLiteral("rcdb.zip"), folder) && QDir(path(folder)).removeRecursively();
}

QString Installation::unpackedBackup() const
{
    const QStringList archives =
        QDir(path(QStringLiteral("backup"))).entryList({QStringLiteral("rcdb-*.zip")}, QDir::Files);
    QByteArray data;
    if (archives.size() != 1 ||
        runProgram(QStringLiteral("unzip"),
                   {QStringLiteral("-p"), path(QStringLiteral("backup/")) + archives.first(),
                    QStringLiteral("rc.db")},
                   root(), &data) != 0)
        return QString();
    static int n = 0;
    const QString unpacked = path(QStringLiteral("backup-%1.db").arg(++n));
    return ::writeFile(unpacked, data) ? unpacked : QString();
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

bool Installation::offerPackage(const QString &package,
                                const QList<QPair<QString, QByteArray>> &files,
                                const QString &executableBuild)
{
    const QString folder = QStringLiteral("pkg-") + QFileInfo(package).completeBaseName();
    if (!executableBuild.isEmpty() &&
        !writeRecorderExecutable(folder + QStringLiteral("/software.exe"), executableBuild))
        return false;
    for (const auto &[name, data] : files)
        if (!writeFile(folder + QLatin1Char('/') + name, data))
            return false;
    return zipFolder(package, folder);
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

bool pythonZip(const QString &archive, const QString &entries, const QString &compression,
               const QString &patch)
{
    const QString script = QStringLiteral("import io,struct,sys,zipfile\n"
                                          "b=io.BytesIO()\n"
                                          "z=zipfile.ZipFile(b,'w')\n"
                                          "for name,data,mode in %1:\n"
                                          "    i=zipfile.ZipInfo(name)\n"
                                          "    i.create_system=3\n"
                                          "    i.external_attr=mode<<16\n"
                                          "    i.compress_type=zipfile.%2\n"
                                          "    z.writestr(i,data)\n"
                                          "z.close()\n"
                                          "d=bytearray(b.getvalue())\n"
                                          "%3\n"
                                          "open(sys.argv[1],'wb').write(d)\n")
                               .arg(entries, compression, patch);
    return runProgram(QStringLiteral("python3"), {QStringLiteral("-c"), script, archive},
                      QDir::tempPath()) == 0;
}

QString signingKey(const QString &name)
{
    static QTemporaryDir keys;
    const QString base = keys.filePath(name);
    if (!QFile::exists(base + QStringLiteral(".pub")) &&
        runProgram(QStringLiteral("minisign"),
                   {QStringLiteral("-G"), QStringLiteral("-W"), QStringLiteral("-p"),
                    base + QStringLiteral(".pub"), QStringLiteral("-s"),
                    base + QStringLiteral(".key")},
                   keys.path()) != 0)
        return QString();
    return base;
}

bool signOffer(const Installation &inst, const QString &key, const QStringList &options)
{
    return !key.isEmpty() &&
           runProgram(QStringLiteral("bash"),
                      QStringList{sourcePath(QStringLiteral("tools/sign-offer.sh")),
                                  inst.path(QStringLiteral("update-tmp")),
                                  key + QStringLiteral(".key")} +
                          options,
                      inst.root()) == 0;
}

bool installKey(const Installation &inst, const QString &key)
{
    const QString installed = inst.path(QStringLiteral("update/package-key.pub"));
    QFile::remove(installed);
    return !key.isEmpty() && QFile::copy(key + QStringLiteral(".pub"), installed);
}

QString binaryPath(const QString &name)
{
    const QByteArray dir = qgetenv("UPDATER_BIN_DIR");
    if (!dir.isEmpty())
        return QString::fromLocal8Bit(dir) + QLatin1Char('/') + name;
    return QCoreApplication::applicationDirPath() + QStringLiteral("/../bin/") + name;
}

QString sourcePath(const QString &relative)
{
    return QStringLiteral(UPDATER_SOURCE_DIR "/") + relative;
}

QStringList updaterArguments()
{
    return {QStringLiteral("-A"), QStringLiteral("1"), QStringLiteral("-platform"),
            QStringLiteral("offscreen")};
}

int runUpdater(const QString &updateDir, QByteArray *output, int timeoutMs)
{
    return runProgram(binaryPath(QStringLiteral("updater")), updaterArguments(), updateDir, output,
                      timeoutMs);
}

int runUpdater(const Installation &inst, QByteArray *output, int timeoutMs)
{
    return runUpdater(inst.updateDir(), output, timeoutMs);
}
