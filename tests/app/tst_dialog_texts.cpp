#include "tests/app/tst_dialog.h"

void TestDialog::everyTextFits_data()
{
    QTest::addColumn<QString>("context");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("translation");
    // English is the source text, as every catalogue names it.
    for (const char *language : {"en", "de", "fr", "es"}) {
        const bool english = qstrcmp(language, "en") == 0;
        QFile ts(
            sourcePath(QStringLiteral("translations/update_%1.ts").arg(english ? "de" : language)));
        QVERIFY(ts.open(QIODevice::ReadOnly));
        QXmlStreamReader xml(&ts);
        QString context;
        QString source;
        while (xml.readNext() != QXmlStreamReader::EndDocument && !xml.hasError()) {
            if (!xml.isStartElement())
                continue;
            if (xml.name() == QLatin1String("name"))
                context = xml.readElementText();
            else if (xml.name() == QLatin1String("source"))
                source = xml.readElementText();
            else if (xml.name() == QLatin1String("translation"))
                QTest::addRow("%s: %s", language, qPrintable(source))
                    << context << source << (english ? source : xml.readElementText());
        }
        QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    }
}

// The status line is 380 pixels wide and can not grow, nor can the buttons: measured with the
// widgets' own fonts, every translated text fits whole.
void TestDialog::everyTextFits()
{
    QFETCH(QString, context);
    QFETCH(QString, source);
    QFETCH(QString, translation);
#ifdef Q_OS_WIN
    // The static build's offscreen platform finds no fonts at all; the windows one, under Wine
    // and Xvfb, measures with the font the program shows (see screenshots()).
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        QSKIP("no fonts on the offscreen platform of the Windows build");
#endif
    if (context == QLatin1String("UpdateDialog") && source == QLatin1String("update"))
        return; // the title, which the window manager may shorten as it likes
    UpdateDialog dialog(nullptr);
    const bool button = source == QLatin1String("Start") || source == QLatin1String("Quit");
    QWidget *shown = button ? static_cast<QWidget *>(widget<QPushButton>(dialog, "startPB"))
                            : widget<QLabel>(dialog, "statusLabel");
    QVERIFY(shown);
    const QFontMetrics metrics(shown->font());
    // A font that measures nothing would let every text pass.
    QVERIFY2(metrics.horizontalAdvance(QStringLiteral("W")) > 4,
             qPrintable(QFontInfo(shown->font()).family()));
    // A button keeps some of its width for its frame.
    const int room = button ? shown->width() - 12 : shown->contentsRect().width();
    QVERIFY2(metrics.horizontalAdvance(translation) <= room,
             qPrintable(QStringLiteral("%1 pixels for %2 of room: %3")
                            .arg(metrics.horizontalAdvance(translation))
                            .arg(room)
                            .arg(translation)));
}

void TestDialog::screenshots_data()
{
    QTest::addColumn<QString>("language");
    for (const char *language : {"en", "de", "fr", "es"})
        QTest::newRow(language) << QString::fromLatin1(language);
}

// The window as the user sees it, with the longest of its status texts, saved as a picture in
// the folder that KESTRELIX_SCREENSHOTS names (for a person to look at: every text is measured
// by everyTextFits).
void TestDialog::screenshots()
{
    const QString folder = qEnvironmentVariable("KESTRELIX_SCREENSHOTS");
    if (folder.isEmpty())
        QSKIP("KESTRELIX_SCREENSHOTS names no folder for the pictures");
    QFETCH(QString, language);
    Installation inst;
    inst.enter();
    QTranslator translator;
    if (language != QLatin1String("en"))
        QVERIFY(
            translator.load(binaryPath(QStringLiteral("Languages/update_%1.qm").arg(language))));
    QCoreApplication::installTranslator(&translator);
    UpdateDialog dialog;
    widget<QLabel>(dialog, "statusLabel")
        ->setText(QCoreApplication::translate("Thread", "Some updates could not be installed."));
    QCoreApplication::removeTranslator(&translator);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::qWait(500);
    const QRect frame = dialog.frameGeometry();
    const QPixmap shot =
        dialog.screen()->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    QVERIFY(!shot.isNull());
    QVERIFY(QDir().mkpath(folder));
    const QString path = QDir(folder).filePath(QStringLiteral("dialog-%1.png").arg(language));
    QVERIFY2(shot.save(path, "PNG"), qPrintable(path));
    qInfo().noquote() << "font" << QFontInfo(widget<QLabel>(dialog, "statusLabel")->font()).family()
                      << QFontInfo(widget<QLabel>(dialog, "statusLabel")->font()).pointSize()
                      << "pt, picture" << path;
}
