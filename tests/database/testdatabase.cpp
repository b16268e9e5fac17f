#include "tests/database/testdatabase.h"

#include <QFile>
#include <QProcess>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTest>
#include <QUuid>

namespace Schema {
const QString firstModels = QStringLiteral(
    "CREATE TABLE rcmodels (Rcid INTEGER, Brand TEXT, Type TEXT, Model TEXT, Documentation TEXT, "
    "Link INTEGER, Author TEXT, Correction TEXT, Own INTEGER, Hidden INTEGER, Flag INTEGER, "
    "RCTypeId INTEGER)");
const QString firstKeys =
    QStringLiteral("CREATE TABLE rckeys (Rcid INTEGER, PCB TEXT, Name TEXT, ID TEXT)");
const QString secondModels = QStringLiteral(
    "CREATE TABLE rcmodels (Rcid INTEGER, Brand TEXT, Type TEXT, Model TEXT, Documentation TEXT, "
    "Link INTEGER, Author TEXT, Correction TEXT, Own INTEGER, Hidden INTEGER, Flag INTEGER, "
    "Hidden1 INTEGER DEFAULT 7, Prot INTEGER NOT NULL DEFAULT (0))");
const QString secondModelsWithoutProt = QStringLiteral(
    "CREATE TABLE rcmodels (Rcid INTEGER, Brand TEXT, Type TEXT, Model TEXT, Documentation TEXT, "
    "Link INTEGER, Author TEXT, Correction TEXT, Own INTEGER, Hidden INTEGER, Flag INTEGER, "
    "Hidden1 INTEGER DEFAULT 7)");
const QString secondKeys = QStringLiteral(
    "CREATE TABLE rckeys (Rcid INTEGER, RCTypeId INTEGER, Name TEXT, ID TEXT, Nkey INTEGER)");
} // namespace Schema

TestDatabase::TestDatabase(const QString &path)
    : m_path(path), m_name(QStringLiteral("test-") + QUuid::createUuid().toString())
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setDatabaseName(path);
    if (!db.open())
        qWarning() << "Can not open" << path << db.lastError().text();
}

TestDatabase::~TestDatabase()
{
    close();
}

void TestDatabase::close()
{
    if (m_name.isEmpty())
        return;
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
    m_name.clear();
}

QSqlDatabase TestDatabase::db() const
{
    return QSqlDatabase::database(m_name, false);
}

bool TestDatabase::exec(const QString &statement, const QVariantList &values)
{
    QSqlQuery query(db());
    if (!query.prepare(statement)) {
        qWarning() << statement << query.lastError().text();
        return false;
    }
    for (int i = 0; i < values.size(); ++i)
        query.bindValue(i, values.at(i));
    if (!query.exec()) {
        qWarning() << statement << query.lastError().text();
        return false;
    }
    return true;
}

QList<QStringList> TestDatabase::rows(const QString &statement) const
{
    QList<QStringList> result;
    QSqlQuery query(db());
    if (!query.exec(statement)) {
        qWarning() << statement << query.lastError().text();
        return result;
    }
    while (query.next()) {
        QStringList row;
        for (int i = 0; i < query.record().count(); ++i)
            row << (query.isNull(i) ? QStringLiteral("<NULL>") : query.value(i).toString());
        result << row;
    }
    return result;
}

QStringList sqlite3Rows(const QString &path, const QString &statement)
{
    QProcess sqlite;
    sqlite.start(QStringLiteral("sqlite3"), {QStringLiteral("-batch"), QStringLiteral("-cmd"),
                                             QStringLiteral(".nullvalue <NULL>"), path, statement});
    if (!sqlite.waitForFinished(120000) || sqlite.exitCode() != 0) {
        qWarning() << "sqlite3 failed:" << sqlite.readAllStandardError();
        return {QStringLiteral("<sqlite3 failed>")};
    }
    QStringList lines = QString::fromUtf8(sqlite.readAllStandardOutput()).split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

bool convertEncoding(const QString &path, const QString &encoding)
{
    QProcess dump;
    dump.start(QStringLiteral("sqlite3"), {path, QStringLiteral(".dump")});
    if (!dump.waitForFinished(120000) || dump.exitCode() != 0)
        return false;
    const QByteArray statements = dump.readAllStandardOutput();
    if (!QFile::remove(path))
        return false;
    QProcess load;
    load.start(QStringLiteral("sqlite3"),
               {QStringLiteral("-bail"), QStringLiteral("-cmd"),
                QStringLiteral("PRAGMA encoding = '%1'").arg(encoding), path});
    load.write(statements);
    load.closeWriteChannel();
    return load.waitForFinished(120000) && load.exitCode() == 0 &&
           sqlite3Rows(path, QStringLiteral("PRAGMA encoding")) == QStringList{encoding};
}

QStringList dumpTables(const QString &path)
{
    return sqlite3Rows(path, QStringLiteral("SELECT 'M', typeof(Rcid), * FROM rcmodels; "
                                            "SELECT 'K', typeof(Rcid), * FROM rckeys;"));
}
