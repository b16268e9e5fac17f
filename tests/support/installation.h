#pragma once

#include <QByteArray>
#include <QDate>
#include <QFileDevice>
#include <QList>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include "tools/sampledata/sampledatabase.h"

// A throw-away Kestrelix installation: <root>/update is the updater's working folder, beside it
// config.ini, rc.db, backup/ and update-tmp/. enter() makes update/ the current folder until
// leave() or destruction.
class Installation
{
public:
    Installation();
    // An installation made inside parentFolder, so that a test can watch what lies beside it.
    explicit Installation(const QString &parentFolder);
    ~Installation();
    Installation(const Installation &) = delete;
    Installation &operator=(const Installation &) = delete;

    bool isValid() const { return m_dir.isValid(); }
    QString root() const { return m_dir.path(); }
    QString updateDir() const;
    // An absolute path from a path relative to the installation folder ("rc.db", "update-tmp").
    QString path(const QString &relative) const;

    void enter();
    void leave();

    bool writeFile(const QString &relative, const QByteArray &data,
                   QFileDevice::Permissions permissions = {});
    QByteArray readFile(const QString &relative) const;
    bool exists(const QString &relative) const;
    // The files directly in a folder of the installation, hidden ones included.
    QStringList files(const QString &relative) const;

    bool setInstalled(const QString &key, const QString &value);
    bool setOffered(const QString &key, const QString &value);
    QString installed(const QString &key) const;

    // Writes a sample catalogue of that shape at the relative path.
    bool writeDatabase(const QString &relative, const SampleData::DatabaseShape &shape);
    // Runs the statements on a new rc.db.
    bool createDatabase(const QStringList &statements);
    // Offers a release of the catalogue: update-tmp/rcdb.zip holding rc.db, packed by zip.
    bool offerDatabase(const SampleData::DatabaseShape &release);

    // The rc.db entry of the one archive in backup/, written to backup-<n>.db in the
    // installation so that sqlite3 can read it; empty when there is not exactly one archive or
    // unzip can not read it whole.
    QString unpackedBackup() const;

    // Makes update-tmp/<package> from the files below <root>/<sourceFolder> with Info-ZIP's
    // zip, so that our own writer is not the only producer of packages.
    bool zipFolder(const QString &package, const QString &sourceFolder) const;

    // Offers update-tmp/<package>, made with zip from the files given (relative names in the
    // package, and their contents) and, when executableBuild is given, software.exe as a
    // recorder of that build. The files stay in <root>/pkg-<package's name without .zip>/, so
    // that a test can change them and zip the folder again.
    bool offerPackage(const QString &package, const QList<QPair<QString, QByteArray>> &files,
                      const QString &executableBuild = QString());

    // A stand-in for the application: a shell script that appends its working folder to
    // <root>/started.log each time it runs, plus a line naming which build it is.
    bool writeRecorderExecutable(const QString &relative, const QString &build);
    QStringList startedFrom() const;
    // Waits until the recorder has run n times; a detached start may land after we look.
    bool waitForStarts(int n, int timeoutMs = 10000) const;

private:
    void makeFolders();

    QTemporaryDir m_dir;
    QString m_previous;
};

// A minisign key pair made by the real command, once per test program and name: the path that
// ".pub" and ".key" complete, empty when the command failed.
QString signingKey(const QString &name);
// Signs the installation's offer with tools/sign-offer.sh and that key; options go to minisign.
bool signOffer(const Installation &inst, const QString &key, const QStringList &options = {});
// Installs the key's public half beside the updater, so that offers must be signed.
bool installKey(const Installation &inst, const QString &key);

// Writes a package with Python's zipfile, which takes names and modes exactly as given: entries is
// a Python list of (name, data, mode) tuples, compression a zipfile constant ("ZIP_STORED",
// "ZIP_DEFLATED"); patch is Python that may change the archive's bytes d before they are written.
bool pythonZip(const QString &archive, const QString &entries,
               const QString &compression = QStringLiteral("ZIP_STORED"),
               const QString &patch = QString());

// Runs a program to its end, in workDir or else the current folder; its exit code, or -1 when it
// could not start or timed out. The output has standard output and errors merged.
int runProgram(const QString &program, const QStringList &arguments, const QString &workDir = {},
               QByteArray *output = nullptr, int timeoutMs = 120000);

// What the tests start the updater with: automatic mode, no screen.
QStringList updaterArguments();
// Runs build/bin/updater in an installation's update/ folder (or in the given one).
int runUpdater(const Installation &inst, QByteArray *output = nullptr, int timeoutMs = 120000);
int runUpdater(const QString &updateDir, QByteArray *output = nullptr, int timeoutMs = 120000);

// Where the build put the executables (UPDATER_BIN_DIR from CTest, else beside the test).
QString binaryPath(const QString &name);
// A file of the source tree ("tools/sign-offer.sh").
QString sourcePath(const QString &relative);
