#include "uploadfixture.h"

#include <cstring>

#include <QDir>
#include <QSettings>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>
#include <QtTest>

UploadFixture::UploadFixture() : previous(QDir::currentPath())
{
    valid = dir.isValid() && QDir(dir.path()).mkdir(QStringLiteral("update")) &&
            QDir::setCurrent(dir.filePath(QStringLiteral("update")));
}

UploadFixture::~UploadFixture()
{
    QDir::setCurrent(previous);
}

QString UploadFixture::path(const QString &relative) const
{
    return dir.filePath(relative);
}

namespace {

template <typename Work> bool withDatabase(const QString &file, Work work)
{
    const QString name = QUuid::createUuid().toString();
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(file);
        ok = db.open() && work(db);
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return ok;
}

} // namespace

bool UploadFixture::createDatabase(const QStringList &statements) const
{
    QFile::remove(path(QStringLiteral("rc.db")));
    return withDatabase(path(QStringLiteral("rc.db")), [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        for (const QString &statement : statements) {
            if (!query.exec(statement)) {
                qWarning() << statement << query.lastError().text();
                return false;
            }
        }
        return true;
    });
}

QString UploadFixture::queryValue(const QString &statement) const
{
    QString value;
    withDatabase(path(QStringLiteral("rc.db")), [&](QSqlDatabase &db) {
        QSqlQuery query(db);
        if (query.exec(statement) && query.next())
            value = query.value(0).toString();
        return true;
    });
    return value;
}

bool UploadFixture::writeConfig(const QString &section, const QString &key,
                                const QString &value) const
{
    QSettings settings(path(QStringLiteral("config.ini")), QSettings::IniFormat);
    settings.setValue(section + QLatin1Char('/') + key, value);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

QStringList UploadFixture::secondGenerationTables()
{
    return {QStringLiteral("CREATE TABLE rcmodels (Rcid INTEGER, Brand TEXT, Type TEXT, Model "
                           "TEXT, Documentation TEXT, Link INTEGER, Author TEXT, Correction TEXT, "
                           "Own INTEGER, Hidden INTEGER, Flag INTEGER, Hidden1 INTEGER, Prot "
                           "INTEGER NOT NULL DEFAULT (0))"),
            QStringLiteral("CREATE TABLE rckeys (Rcid INTEGER, RCTypeId INTEGER, Name TEXT, ID "
                           "TEXT, Nkey INTEGER)")};
}

QStringList UploadFixture::firstGenerationTables()
{
    return {QStringLiteral("CREATE TABLE rcmodels (Rcid INTEGER, Brand TEXT, Type TEXT, Model "
                           "TEXT, Documentation TEXT, Link INTEGER, Author TEXT, Correction TEXT, "
                           "Own INTEGER, Hidden INTEGER, Flag INTEGER, RCTypeId INTEGER)"),
            QStringLiteral("CREATE TABLE rckeys (Rcid INTEGER, PCB TEXT, Name TEXT, ID TEXT)")};
}

QStringList UploadFixture::sampleRows()
{
    return {
        QStringLiteral("INSERT INTO rcmodels VALUES (1, 'Acme', 'TV', 'A1', 'doc', 1, 'me', "
                       "'none', 1, 0, 0, 7, 0)"),
        QStringLiteral("INSERT INTO rcmodels VALUES (2, 'Bolt', 'DVD', 'B2', '', 100, 'me', '', "
                       "1, 1, 1, 3, 1)"),
        QStringLiteral("INSERT INTO rcmodels VALUES (3, 'Crux', 'SAT', 'C3', '', 100, 'me', '', "
                       "1, 0, 0, 3, 0)"),
        QStringLiteral("INSERT INTO rcmodels VALUES (4, 'Dyne', 'TV', 'D4', '', 100, 'maker', '', "
                       "0, 0, 0, 3, 0)"),
        QStringLiteral("INSERT INTO rckeys VALUES (1, 7, 'Power', '0x10', 1)"),
        QStringLiteral("INSERT INTO rckeys VALUES (1, 7, 'Mute', '0x11', 2)"),
        QStringLiteral("INSERT INTO rckeys VALUES (100, 3, 'Power', '0x20', 1)"),
        QStringLiteral("INSERT INTO rckeys VALUES (100, 3, 'Up', '0x21', 2)"),
        QStringLiteral("INSERT INTO rckeys VALUES (100, 3, 'Down', '0x22', 3)"),
        QStringLiteral("INSERT INTO rckeys VALUES (200, 3, 'Play', '0x30', 1)"),
    };
}

MessageCollector *MessageCollector::current = nullptr;

MessageCollector::MessageCollector(const char *category) : category(category)
{
    current = this;
    previousHandler = qInstallMessageHandler(&MessageCollector::handler);
}

MessageCollector::~MessageCollector()
{
    qInstallMessageHandler(previousHandler);
    current = nullptr;
}

void MessageCollector::handler(QtMsgType type, const QMessageLogContext &context,
                               const QString &text)
{
    MessageCollector *self = current;
    if (!self)
        return;
    {
        QMutexLocker lock(&self->mutex);
        if (context.category && std::strcmp(context.category, self->category) == 0)
            self->collected << text;
        // Our own categories warn about failures a test provokes; any other warning (Qt's own,
        // about threads or connections) is misuse.
        const bool ours = context.category && std::strncmp(context.category, "kestrelix.", 10) == 0;
        if ((type == QtWarningMsg || type == QtCriticalMsg) && !ours)
            self->warned << text;
    }
    self->previousHandler(type, context, text);
}

QStringList MessageCollector::lines() const
{
    QMutexLocker lock(&mutex);
    return collected;
}

QStringList MessageCollector::warnings() const
{
    QMutexLocker lock(&mutex);
    return warned;
}

void MessageCollector::clear()
{
    QMutexLocker lock(&mutex);
    collected.clear();
    warned.clear();
}
