#pragma once

#include <optional>

#include <QDomElement>
#include <QSqlDatabase>
#include <QtTest>

#include "tests/support/databaseshapes.h"
#include "tests/support/installation.h"
#include "upload/exportdocument.h"

// The document read back by a parser, so that escaping and structure are judged as a receiver
// sees them.
struct Parsed
{
    QList<QDomElement> models;
    QList<QDomElement> keys;
    QDomElement about;
    QStringList rootChildren;
};

Parsed parse(const QByteArray &text);
QStringList values(const QList<QDomElement> &elements, const char *attribute);
ExportDocument::About fixedAbout();

// The document's shape, texts and about in tst_exportdocument.cpp, the keys and the values as
// the driver gives them in tst_exportdocument_keys.cpp.
class TestExportDocument : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void selectionByMode_data();
    void selectionByMode();
    void layoutOfTheText();
    void escapedValuesReadBackUnchanged();
    void sameTextAsTheDomWriter();
    void keysInTheOrderOfAModelDrivenJoin_data();
    void keysInTheOrderOfAModelDrivenJoin();
    void keysOfThePlainJoin_data();
    void keysOfThePlainJoin();
    void valuesAsTheDriverGivesThem();
    void nullColumnsAndMissingProt();
    void firstGenerationSendsModelsWithoutKeys();
    void aboutFromTheInstallation();

private:
    // Builds from the fixture's rc.db; without about, with what the installation says of itself.
    bool build(ExportDocument &document, int mode,
               const std::optional<ExportDocument::About> &about = std::nullopt);

    Installation *fixture = nullptr;
};
