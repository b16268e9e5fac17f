#include "tests/support/sqliteoracle.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

QStringList sqliteRows(const QString &database, const QString &statement)
{
    QProcess sqlite;
    sqlite.setWorkingDirectory(QDir::tempPath());
    sqlite.start(QStringLiteral("sqlite3"),
                 {QStringLiteral("-batch"), QStringLiteral("-cmd"),
                  QStringLiteral(".nullvalue <NULL>"), database, statement});
    if (!sqlite.waitForFinished(120000) || sqlite.exitStatus() != QProcess::NormalExit ||
        sqlite.exitCode() != 0)
        return {QStringLiteral("<sqlite3 failed: %1>")
                    .arg(QString::fromUtf8(sqlite.readAllStandardError().trimmed()))};
    QStringList lines = QString::fromUtf8(sqlite.readAllStandardOutput()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

QString sqliteText(const QString &database, const QString &statement)
{
    return sqliteRows(database, statement).join(QLatin1Char('\n'));
}

QStringList dumpTables(const QString &database)
{
    return sqliteRows(database, QStringLiteral("SELECT 'M', typeof(Rcid), * FROM rcmodels; "
                                               "SELECT 'K', typeof(Rcid), * FROM rckeys;"));
}

bool convertEncoding(const QString &database, const QString &encoding)
{
    QProcess dump;
    dump.start(QStringLiteral("sqlite3"), {database, QStringLiteral(".dump")});
    if (!dump.waitForFinished(120000) || dump.exitCode() != 0)
        return false;
    const QByteArray statements = dump.readAllStandardOutput();
    if (!QFile::remove(database))
        return false;
    QProcess load;
    load.start(QStringLiteral("sqlite3"),
               {QStringLiteral("-bail"), QStringLiteral("-cmd"),
                QStringLiteral("PRAGMA encoding = '%1'").arg(encoding), database});
    load.write(statements);
    load.closeWriteChannel();
    return load.waitForFinished(120000) && load.exitCode() == 0 &&
           sqliteRows(database, QStringLiteral("PRAGMA encoding")) == QStringList{encoding};
}

QString ownModelsWithKeys(const QString &database)
{
    return sqliteText(database, QStringLiteral("SELECT m.Rcid, count(k.Rcid) FROM rcmodels m LEFT "
                                               "JOIN rckeys k ON k.Rcid = m.Rcid WHERE m.Own = 1 "
                                               "GROUP BY m.Rcid ORDER BY m.Rcid"));
}

QString committedOwnModels(const QString &database)
{
    const QString file = QFileInfo(database).canonicalFilePath();
    QTemporaryDir copy;
    for (const QString &suffix : {QString(), QStringLiteral("-journal"), QStringLiteral("-wal")})
        if (QFile::exists(file + suffix))
            QFile::copy(file + suffix, copy.filePath(QStringLiteral("rc.db") + suffix));
    return ownModelsWithKeys(copy.filePath(QStringLiteral("rc.db")));
}
