#pragma once

#include <QtTest>

#include "tests/support/databaseshapes.h"
#include "tests/support/installation.h"
#include "tests/support/messagecollector.h"
#include "tests/support/sqliteoracle.h"
#include "tests/support/testserver.h"
#include "upload/client.h"

const QString host = QStringLiteral("127.0.0.1");
const QStringList beforeAnswer = {"Connected to server", "Database is open", "Data sent"};
const QString unsentOwn =
    QStringLiteral("SELECT count(*) FROM rcmodels WHERE Own = 1 AND Flag = 0");

// The exchange with the server in tst_client.cpp, what the upload reads and marks in the database
// in tst_client_database.cpp.
class TestClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void meta_object();
    void answers_data();
    void answers();
    void refusedConnection_data();
    void refusedConnection();
    void emptyHost();
    void lookupThatNeverAnswers();
    void modeWithoutUploadConnectsButSendsNothing();
    void missingDatabase();
    void databaseThatCanNotBeOpened();
    void markedModelsAreNotSentAgain();
    void damagedDatabaseSendsNothing();
    void charactersXmlCanNotCarry_data();
    void charactersXmlCanNotCarry();
    void roundTripWithUploadServer();

private:
    // The document a frame carries, behind its length.
    static QByteArray documentOf(const QByteArray &frame) { return qUncompress(frame.mid(8)); }

    Installation *fixture = nullptr;
    MessageCollector *messages = nullptr;
};
