#pragma once

#include <QList>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QVariantList>

// Table layouts as the product's files have them. Hidden1 defaults to 7 in the release so that
// a test can tell a default from a copied value.
namespace Schema {
extern const QString firstModels;
extern const QString firstKeys;
extern const QString secondModels;
extern const QString secondModelsWithoutProt;
extern const QString secondKeys;
} // namespace Schema

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
    // Runs a statement with bound values; fails the test on an error.
    bool exec(const QString &statement, const QVariantList &values = {});
    // Every row of a query, each value as text and NULL as "<NULL>".
    QList<QStringList> rows(const QString &statement) const;
    void close();

private:
    QString m_path;
    QString m_name;
};

// The same query answered by the sqlite3 command, rows as lines, values joined by "|" and NULL
// as "<NULL>": our own reading code is not the only judge.
QStringList sqlite3Rows(const QString &path, const QString &statement);

// Rewrites the file in another text encoding ("UTF-16le", ...) through sqlite3's dump.
bool convertEncoding(const QString &path, const QString &encoding);

// Every row of both tables, in storage order, as sqlite3 prints them.
QStringList dumpTables(const QString &path);
