#pragma once

#include <sys/resource.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// A throw-away installation for the database update: <root>/update is the working folder,
// beside it rc.db, config.ini, backup/ and update-tmp/. The working folder is entered on
// construction and left again on destruction.
class TestInstallation
{
public:
    TestInstallation();
    ~TestInstallation();
    TestInstallation(const TestInstallation &) = delete;
    TestInstallation &operator=(const TestInstallation &) = delete;

    QString path(const QString &relative) const;
    QByteArray read(const QString &relative) const;
    bool write(const QString &relative, const QByteArray &data) const;
    // Packs the files (absolute paths) into update-tmp/<package> with Info-ZIP's zip, each
    // stored under its file name.
    bool zipPackage(const QString &package, const QStringList &files) const;
    QString installedSetting(const QString &key) const;
    // The files directly in a folder of the installation, hidden ones included.
    QStringList files(const QString &relative) const;

private:
    QTemporaryDir m_dir;
    QString m_previous;
};

// Runs a program to its end and returns its exit code (-1 when it did not start or finish).
int runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);

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
