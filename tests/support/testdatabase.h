#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

// A database file opened on a connection of its own for the length of a test.
class TestDatabase
{
public:
    explicit TestDatabase(const QString &path);
    ~TestDatabase();
    TestDatabase(const TestDatabase &) = delete;
    TestDatabase &operator=(const TestDatabase &) = delete;

    QSqlDatabase db() const;
    QString path() const { return m_path; }
    // Runs a statement with bound values; a failure is also written as a warning.
    bool exec(const QString &statement, const QVariantList &values = {});
    // Every row of a query, each value as text and NULL as "<NULL>".
    QList<QStringList> rows(const QString &statement) const;
    void close();

private:
    QString m_path;
    QString m_name;
};

// Runs the statements on a new database file at path, replacing one that is there.
bool createDatabase(const QString &path, const QStringList &statements);

// Overwrites the page that holds marker with garbage, as a failing disk would leave it; false when
// the marker is not found past the first page.
bool damagePageHolding(const QString &path, const QByteArray &marker);
