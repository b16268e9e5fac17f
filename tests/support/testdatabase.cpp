#include "tests/support/testdatabase.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QUuid>

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

bool createDatabase(const QString &path, const QStringList &statements)
{
    QFile::remove(path);
    TestDatabase db(path);
    for (const QString &statement : statements)
        if (!db.exec(statement))
            return false;
    return true;
}

bool damagePageHolding(const QString &path, const QByteArray &marker)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const QByteArray bytes = file.readAll();
    if (bytes.size() < 100)
        return false;
    const int stored = (quint8(bytes.at(16)) << 8) | quint8(bytes.at(17));
    const qint64 pageSize = stored == 1 ? 65536 : stored;
    const qint64 at = bytes.indexOf(marker);
    if (pageSize < 512 || at < pageSize) // never the first page: the file must still open
        return false;
    return file.seek(at / pageSize * pageSize) &&
           file.write(QByteArray(int(pageSize), '\xff')) == pageSize;
}
