#pragma once

#include <QByteArray>
#include <QFileDevice>
#include <QList>
#include <QString>

#include "common/errorstring.h"

class QDir;

// A throw-away Kestrelix installation with an update waiting in update-tmp/: the application's
// executable (a script that records each start), config.ini with installed versions, and the
// packages of a newer release.
class SampleInstallation : public ErrorString
{
public:
    QString root;
    QString softwareName = QStringLiteral("Kestrelix");
    QString distributor = QStringLiteral("north");
    QString language = QStringLiteral("de");
    QString rcTypes = QStringLiteral("1,3");
    QString serverHost = QStringLiteral("127.0.0.1");
    QString installedVersion = QStringLiteral("2024-01-15");
    QString offeredVersion = QStringLiteral("2025-06-30");
    int updateMode = 2;
    bool offerDatabase = false;
    // The user's ../rc.db (first or second layout) and, when offered, the release in rcdb.zip.
    bool withDatabase = false;
    bool firstGeneration = true;
    int suppliedModels = 2000;
    int ownModels = 40;
    // "S" or "L": the benchmark sizes, replacing the counts above.
    QString size;
    // Copied into <root>/update/ so that the updater finds its catalogues there.
    QString languagesFolder;

    bool write();

private:
    struct Entry
    {
        QString name;
        QByteArray data;
        QFileDevice::Permissions permissions;
    };

    bool writePackage(const QString &path, const QList<Entry> &entries);
    bool writeDatabases(const QDir &dir);
};
