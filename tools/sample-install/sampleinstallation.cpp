#include "sampleinstallation.h"

#include <QDir>
#include <QFile>
#include <QSettings>

#include "common/zip/zipextract.h"
#include "tools/sampledata/sampledatabase.h"
#include "tools/zipwriter/zipwriter.h"

namespace {

const QFileDevice::Permissions executable =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
    QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser | QFileDevice::ReadGroup |
    QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::ExeOther;
const QFileDevice::Permissions plain = QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                       QFileDevice::ReadUser | QFileDevice::WriteUser |
                                       QFileDevice::ReadGroup | QFileDevice::ReadOther;

// The application stand-in: says which release it is and notes where it was started.
QByteArray applicationScript(const QString &release)
{
    return "#!/bin/sh\n# Kestrelix " + release.toUtf8() +
           "\necho \"$(date '+%F %T') started $(pwd) release " + release.toUtf8() +
           "\" >> started.log\n";
}

bool writeFile(const QString &path, const QByteArray &data, QFileDevice::Permissions permissions)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        return false;
    file.close();
    return file.setPermissions(permissions);
}

} // namespace

bool SampleInstallation::writePackage(const QString &path, const QList<Entry> &entries)
{
    Zip::Writer writer(path);
    bool ok = writer.open();
    for (const Entry &entry : entries) {
        if (!ok)
            break;
        ok = entry.name.endsWith(QLatin1Char('/'))
                 ? writer.addDirectory(entry.name, entry.permissions | QFileDevice::ExeOwner)
                 : writer.addData(entry.name, entry.data, entry.permissions);
    }
    return (ok && writer.close()) || failBecause(writer.errorString());
}

// The user's catalogue, with own models of which every other one was never uploaded, and a
// release of the catalogue in the newer layout, packed as the database package.
bool SampleInstallation::writeDatabases(const QDir &dir)
{
    const SampleInstallation &sample = *this;
    SampleData::DatabaseShape current;
    current.layout = sample.firstGeneration ? Generation::First : Generation::Second;
    current.withProt = false;
    current.suppliedModels = sample.suppliedModels;
    current.keySets = qMax(1, sample.suppliedModels / 2);
    current.keysPerSet = 10;
    current.ownModels = sample.ownModels;
    current.keysPerOwnModel = 8;
    current.withNulls = true;
    current.withQuotes = true;
    if (!sample.size.isEmpty()) {
        current = sample.size == QLatin1String("L") ? SampleData::sizeL() : SampleData::sizeS();
        current.layout = sample.firstGeneration ? Generation::First : Generation::Second;
    }
    SampleData::DatabaseWriter databases;
    if (!databases.write(dir.filePath(QStringLiteral("rc.db")), current))
        return failBecause(databases.errorString());
    if (!sample.offerDatabase)
        return true;

    SampleData::DatabaseShape release;
    release.suppliedModels = sample.suppliedModels + sample.suppliedModels / 10;
    release.keySets = qMax(1, release.suppliedModels / 2);
    release.keysPerSet = 12;
    if (!sample.size.isEmpty())
        release =
            sample.size == QLatin1String("L") ? SampleData::sizeL(true) : SampleData::sizeS(true);
    const QString releaseFile = dir.filePath(QStringLiteral("update-tmp/release-rc.db"));
    if (!databases.write(releaseFile, release))
        return failBecause(databases.errorString());
    Zip::Writer writer(dir.filePath(QStringLiteral("update-tmp/rcdb.zip")));
    const bool ok =
        writer.open() &&
        writer.addFile(QStringLiteral("rc.db"), releaseFile, QFile::permissions(releaseFile)) &&
        writer.close();
    QFile::remove(releaseFile);
    return ok || failBecause(writer.errorString());
}

bool SampleInstallation::write()
{
    clearError();
    QDir dir(root);
    for (const char *folder : {"update", "backup", "update-tmp"})
        dir.mkpath(QLatin1String(folder));

    const QString exe = softwareName.toLower() + QStringLiteral(".exe");
    if (!writeFile(dir.filePath(exe), applicationScript(installedVersion), executable))
        return failBecause(QStringLiteral("Can not write ") + dir.filePath(exe));

    {
        QSettings installed(dir.filePath(QStringLiteral("config.ini")), QSettings::IniFormat);
        installed.setValue(QStringLiteral("Settings/softwareName"), softwareName);
        installed.setValue(QStringLiteral("Settings/language"), language);
        installed.setValue(QStringLiteral("Settings/rcTypes"), rcTypes);
        installed.setValue(QStringLiteral("Settings/company"), QStringLiteral("Sample & Sons"));
        installed.setValue(QStringLiteral("Settings/address"), QStringLiteral("1 Sample Road"));
        installed.setValue(QStringLiteral("Settings/contact"),
                           QStringLiteral("sample@example.org"));
        installed.setValue(QStringLiteral("UpdateInfo/serverdb"), serverHost);
        installed.setValue(QStringLiteral("UpdateInfo/distributor"), distributor);
        installed.setValue(QStringLiteral("UpdateInfo/main"), installedVersion);
        installed.setValue(QStringLiteral("UpdateInfo/database"), installedVersion);
        installed.setValue(QStringLiteral("UpdateInfo/other"), installedVersion);
    }
    {
        QSettings offered(dir.filePath(QStringLiteral("update-tmp/config.ini")),
                          QSettings::IniFormat);
        offered.setValue(QStringLiteral("UpdateInfo/main"), offeredVersion);
        offered.setValue(QStringLiteral("UpdateInfo/other"), offeredVersion);
        if (offerDatabase)
            offered.setValue(QStringLiteral("UpdateInfo/database"), offeredVersion);
        offered.setValue(QStringLiteral("UpdateInfo/updateMode"), updateMode);
    }

    const QString tmp = dir.filePath(QStringLiteral("update-tmp/"));
    if (!writePackage(
            tmp + QStringLiteral("main.zip"),
            {{QStringLiteral("software.exe"), applicationScript(offeredVersion), executable},
             {QStringLiteral("Languages/"), {}, plain},
             {QStringLiteral("Languages/readme.txt"),
              "Catalogues of release " + offeredVersion.toUtf8() + "\n", plain}}) ||
        !writePackage(
            tmp + QStringLiteral("other.zip"),
            {{QStringLiteral("help/"), {}, plain},
             {QStringLiteral("help/index.html"),
              "<html><body>Help for release " + offeredVersion.toUtf8() + "</body></html>\n",
              plain},
             {QStringLiteral("help/keys.txt"), "Power, Volume, Channel\n", plain}}) ||
        !writePackage(tmp + QStringLiteral("distributor-") + distributor + QStringLiteral(".zip"),
                      {{QStringLiteral("distributor/"), {}, plain},
                       {QStringLiteral("distributor/contact.txt"),
                        "Your dealer: " + distributor.toUtf8() + "\n", plain}}))
        return false;

    if (withDatabase) {
        if (!writeDatabases(dir))
            return false;
    }

    if (!languagesFolder.isEmpty()) {
        QDir languages(languagesFolder);
        dir.mkpath(QStringLiteral("update/Languages"));
        const auto files = languages.entryList({QStringLiteral("*.qm")}, QDir::Files);
        for (const QString &file : files) {
            const QString target = dir.filePath(QStringLiteral("update/Languages/") + file);
            QFile::remove(target);
            QFile::copy(languages.filePath(file), target);
        }
    }
    return true;
}
