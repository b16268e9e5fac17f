#include <QDir>
#include <QFile>
#include <QTest>
#include <QTranslator>

#include "app/startup.h"
#include "common/paths.h"
#include "tests/support/installation.h"

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void automaticMode_data();
    void automaticMode();
    void translatorLookup_data();
    void translatorLookup();
    void cataloguesComplete_data();
    void cataloguesComplete();
};

void TestStartup::automaticMode_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("automatic");

    QTest::newRow("-A true") << QStringList{"updater", "-A", "true"} << true;
    QTest::newRow("x -A 1") << QStringList{"updater", "x", "-A", "1"} << true;
    QTest::newRow("-A TRUE") << QStringList{"updater", "-A", "TRUE"} << false;
    QTest::newRow("-A yes") << QStringList{"updater", "-A", "yes"} << false;
    QTest::newRow("-a 1") << QStringList{"updater", "-a", "1"} << false;
    QTest::newRow("empty") << QStringList{"updater"} << false;
    QTest::newRow("-A 1 -A 0") << QStringList{"updater", "-A", "1", "-A", "0"} << false;
    QTest::newRow("-A 0 -A 1") << QStringList{"updater", "-A", "0", "-A", "1"} << true;
    QTest::newRow("-A -A 1") << QStringList{"updater", "-A", "-A", "1"} << false;
    QTest::newRow("lone -A") << QStringList{"updater", "-A"} << false;
    QTest::newRow("-A 1 then lone -A") << QStringList{"updater", "-A", "1", "-A"} << true;
    QTest::newRow("program named -A") << QStringList{"-A", "1"} << false;
}

void TestStartup::automaticMode()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, automatic);
    QCOMPARE(Startup::isAutomaticMode(arguments), automatic);
}

// Catalogues are copied under other names so that which file was loaded can be told apart.
void TestStartup::translatorLookup_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("expectedStart");

    QTest::newRow("de") << QStringList{"de:de"} << "de"
                        << "Start";
    QTest::newRow("de_DE present") << QStringList{"de:de", "fr:de_DE"} << "de_DE"
                                   << "Démarrer";
    QTest::newRow("de_DE falls back to de") << QStringList{"de:de"} << "de_DE"
                                            << "Start";
    QTest::newRow("empty language finds update.qm") << QStringList{"es:"} << ""
                                                    << "Iniciar";
    QTest::newRow("nothing found") << QStringList{"es:es"} << "de"
                                   << "";
}

void TestStartup::translatorLookup()
{
    QFETCH(QStringList, present);
    QFETCH(QString, language);
    QFETCH(QString, expectedStart);

    Installation inst;
    QDir().mkpath(inst.path("update/Languages"));
    for (const QString &pair : present) {
        const QString from = pair.section(':', 0, 0);
        const QString to = pair.section(':', 1, 1);
        const QString target =
            inst.path("update/Languages/update") + (to.isEmpty() ? QString() : "_" + to) + ".qm";
        QVERIFY(QFile::copy(binaryPath("Languages/update_" + from + ".qm"), target));
    }
    inst.enter();
    QTranslator translator;
    const bool loaded =
        Startup::loadTranslation(translator, Paths::updaterTranslationFile(language));
    QCOMPARE(loaded, !expectedStart.isEmpty());
    QCOMPARE(translator.translate("UpdateDialog", "Start"), expectedStart);
}

void TestStartup::cataloguesComplete_data()
{
    QTest::addColumn<QString>("language");
    QTest::newRow("de") << "de";
    QTest::newRow("fr") << "fr";
    QTest::newRow("es") << "es";
}

void TestStartup::cataloguesComplete()
{
    QFETCH(QString, language);
    QTranslator translator;
    QVERIFY(translator.load(binaryPath("Languages/update_" + language + ".qm")));
    const QList<QPair<const char *, const char *>> texts = {
        {"UpdateDialog", "update"},
        {"UpdateDialog", "For update push start button."},
        {"UpdateDialog", "Start"},
        {"UpdateDialog", "Quit"},
        {"Thread", "You have new software version. No need update."},
        {"Thread", "exe file updating..."},
        {"Thread", "All other files updating..."},
        {"Thread", "All updates have been installed."},
        {"Thread", "Database updating..."},
        {"Thread", "Can't create backup."},
        {"Thread", "Can not open current database."},
        {"Thread", "Can not open new database."},
        {"Thread", "Can not edit database."},
        {"Thread", "Can't copy new database"},
        {"Thread", "Can't copy new database1"},
    };
    QSet<QString> seen;
    for (const auto &[context, source] : texts) {
        const QString translated = translator.translate(context, source);
        QVERIFY2(!translated.isEmpty(), source);
        seen.insert(translated);
    }
    QCOMPARE(seen.size(), texts.size()); // no two texts share a translation
    // The toolkit's own catalogue travels beside ours.
    QVERIFY(QFile::exists(binaryPath("Languages/qt_" + language + ".qm")));
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
