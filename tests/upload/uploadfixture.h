#pragma once

#include <QMutex>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QtMessageHandler>

// A throw-away installation for the upload: <tmp>/update is the working folder while the fixture
// lives, so that ../rc.db and ../config.ini are the fixture's.
class UploadFixture
{
public:
    UploadFixture();
    ~UploadFixture();

    bool isValid() const { return valid; }
    QString path(const QString &relative) const;

    // Runs the statements on a new database file at the installation's rc.db.
    bool createDatabase(const QStringList &statements) const;
    bool writeConfig(const QString &section, const QString &key, const QString &value) const;
    // Runs one statement on rc.db and gives the first column of the first row as text.
    QString queryValue(const QString &statement) const;

    // Tables as the two generations of the product lay them out.
    static QStringList secondGenerationTables();
    static QStringList firstGenerationTables();
    // Own models 1 (Flag 0, its own key set 1), 2 (Flag 1) and 3 (Flag 0) both linking to the
    // supplied key set 100, and supplied model 4 also linking to it. Key set 200 belongs to no
    // own model.
    static QStringList sampleRows();

private:
    QTemporaryDir dir;
    QString previous;
    bool valid = false;
};

// Collects the lines of one logging category, from whatever thread, and every warning.
class MessageCollector
{
public:
    explicit MessageCollector(const char *category);
    ~MessageCollector();

    QStringList lines() const;
    QStringList warnings() const;
    void clear();

private:
    static void handler(QtMsgType type, const QMessageLogContext &context, const QString &text);

    const char *category;
    mutable QMutex mutex;
    QStringList collected;
    QStringList warned;
    QtMessageHandler previousHandler;
    static MessageCollector *current;
};
