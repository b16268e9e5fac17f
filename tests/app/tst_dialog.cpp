#include "tests/app/tst_dialog.h"

void TestDialog::init()
{
    m_relaunches = {};
    Relaunch::setHookForTesting([this](const QString &commandLine) {
        m_relaunches.commandLines << commandLine;
        m_relaunches.folders << QDir::currentPath();
    });
}

void TestDialog::cleanup()
{
    Relaunch::setHookForTesting({});
}

void TestDialog::form_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("geometry");

    QTest::newRow("progressBar") << "progressBar" << QRect(10, 10, 380, 23);
    QTest::newRow("statusLabel") << "statusLabel" << QRect(10, 40, 380, 23);
    QTest::newRow("startPB") << "startPB" << QRect(60, 70, 110, 23);
    QTest::newRow("quitPB") << "quitPB" << QRect(230, 70, 110, 23);
}

void TestDialog::form()
{
    QFETCH(QString, name);
    QFETCH(QRect, geometry);

    Installation inst;
    inst.enter();
    UpdateDialog dialog;
    QCOMPARE(dialog.objectName(), "UpdateDialog");
    QCOMPARE(dialog.size(), QSize(400, 110));
    QCOMPARE(dialog.minimumSize(), QSize(400, 110));
    QCOMPARE(dialog.maximumSize(), QSize(400, 110));
    auto *w = widget<QWidget>(dialog, name.toLatin1().constData());
    QVERIFY(w);
    QCOMPARE(w->geometry(), geometry);
    QCOMPARE(w->minimumSize(), geometry.size());
    QCOMPARE(w->maximumSize(), geometry.size());
}

void TestDialog::titleAndTexts()
{
    Installation inst;
    inst.setInstalled("Settings/softwareName", "MyRemote Pro");
    inst.enter();
    UpdateDialog dialog;
    QCOMPARE(dialog.windowTitle(), "update-MyRemote Pro 2.4.5      25.07.2017");
    QCOMPARE(widget<QLabel>(dialog, "statusLabel")->text(), "For update push start button.");
    QCOMPARE(widget<QPushButton>(dialog, "startPB")->text(), "Start");
    QCOMPARE(widget<QPushButton>(dialog, "quitPB")->text(), "Quit");
    QVERIFY(!dialog.windowIcon().isNull());
    auto *bar = widget<QProgressBar>(dialog, "progressBar");
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->value(), -1);

    // Quit: the program is the name in lower case, blank and all, started in "..".
    QTest::mouseClick(widget<QPushButton>(dialog, "quitPB"), Qt::LeftButton);
    QCOMPARE(m_relaunches.commandLines, QStringList{"myremote pro.exe"});
    QCOMPARE(m_relaunches.folders, QStringList{QDir(inst.root()).canonicalPath()});
}

void TestDialog::translatedTitle()
{
    Installation inst;
    inst.enter();
    QTranslator german;
    QVERIFY(german.load(binaryPath("Languages/update_de.qm")));
    QCoreApplication::installTranslator(&german);
    UpdateDialog dialog;
    QCoreApplication::removeTranslator(&german);
    QCOMPARE(dialog.windowTitle(), "Aktualisierung-Kestrelix 2.4.5      25.07.2017");
    QCOMPARE(widget<QPushButton>(dialog, "quitPB")->text(), "Beenden");
}

void TestDialog::manualUpdateThenQuit()
{
    Installation inst;
    inst.setInstalled("UpdateInfo/serverdb", "");
    inst.enter();
    UpdateDialog dialog;
    dialog.show();
    auto *start = widget<QPushButton>(dialog, "startPB");
    auto *quit = widget<QPushButton>(dialog, "quitPB");

    QTest::mouseClick(start, Qt::LeftButton);
    QVERIFY(!start->isEnabled());
    QVERIFY(!quit->isEnabled());

    // Nothing is offered: the worker reports status 1 and its text; only Quit comes back.
    QTRY_VERIFY_WITH_TIMEOUT(quit->isEnabled(), 20000);
    QVERIFY(!start->isEnabled());
    QTRY_COMPARE(widget<QLabel>(dialog, "statusLabel")->text(),
                 "You have new software version. No need update.");
    QCOMPARE(widget<QProgressBar>(dialog, "progressBar")->maximum(), 1000);
    QCOMPARE(widget<QProgressBar>(dialog, "progressBar")->value(), 0);
    QVERIFY(m_relaunches.commandLines.isEmpty());
    QCOMPARE(dialog.focusWidget(), quit);

    QTest::mouseClick(quit, Qt::LeftButton);
    QCOMPARE(m_relaunches.commandLines, QStringList{"kestrelix.exe"});
}

void TestDialog::quitBeforeStart()
{
#ifdef Q_OS_WIN
    QSKIP("the package is made by Info-ZIP's zip, which Wine does not have");
#endif
    Installation inst;
    inst.setOffered("UpdateInfo/other", "2030-01-01");
    QVERIFY(inst.offerPackage("other.zip", {{"new.txt", "new"}}));
    inst.enter();
    UpdateDialog dialog;
    dialog.autoUpdate = true;
    dialog.show();
    QTest::mouseClick(widget<QPushButton>(dialog, "quitPB"), Qt::LeftButton);
    QCOMPARE(m_relaunches.commandLines.size(), 1);
    QTest::qWait(1500); // the timer ticks, but the update never starts
    QVERIFY(!inst.exists("new.txt"));
}

void TestDialog::automaticMode_data()
{
    QTest::addColumn<bool>("busy");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("started"); // the program started at the end, "" for none
    QTest::newRow("nothing offered") << false << "You have new software version. No need update."
                                     << "kestrelix.exe";
    // Another update works in the installation: the application is not started under its feet.
    QTest::newRow("another update running") << true << "Another update is running."
                                            << "";
}

void TestDialog::automaticMode()
{
    QFETCH(bool, busy);
    QFETCH(QString, text);
    QFETCH(QString, started);
    Installation inst;
    inst.setInstalled("UpdateInfo/serverdb", "");
    inst.enter();
    Platform::Folder installation;
    RunLock other;
    if (busy)
        QVERIFY(installation.open(inst.root()) && other.acquire(installation, 0));
    UpdateDialog dialog;
    dialog.autoUpdate = true;
    dialog.show();
    auto *start = widget<QPushButton>(dialog, "startPB");
    QVERIFY(start->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(!start->isEnabled(), 3000);
    // The status report ends the updater without anyone pressing a button.
    QTRY_COMPARE_WITH_TIMEOUT(m_relaunches.commandLines.size(), 1, 20000);
    QCOMPARE(m_relaunches.commandLines, QStringList{started});
    QCOMPARE(widget<QLabel>(dialog, "statusLabel")->text(), text);
    QTest::qWait(1200);
    QCOMPARE(m_relaunches.commandLines.size(), 1); // at most one update per process
}

void TestDialog::closeRequests_data()
{
    QTest::addColumn<QString>("when");
    QTest::addColumn<bool>("closes");
    QTest::addColumn<QStringList>("started");
    // Before Start the window closes as any does, starting nothing.
    QTest::newRow("before the run") << "before" << true << QStringList();
    // A close in the middle would end the update halfway: it is ignored.
    QTest::newRow("during the run") << "during" << false << QStringList();
    // Once the run is over, closing is Quit.
    QTest::newRow("after the run") << "after" << false << QStringList{"kestrelix.exe"};
}

void TestDialog::closeRequests()
{
    QFETCH(QString, when);
    QFETCH(bool, closes);
    QFETCH(QStringList, started);
    Installation inst;
    inst.setInstalled("UpdateInfo/serverdb", "");
    inst.enter();
    UpdateDialog dialog;
    dialog.show();
    // The worker waits right after reading the offer until the test lets it go.
    QSemaphore reached;
    QSemaphore go;
    Checkpoint::setHook([&](const QString &moment) {
        if (moment == QLatin1String("offer read")) {
            reached.release();
            go.acquire();
        }
    });
    auto *quit = widget<QPushButton>(dialog, "quitPB");
    bool closed = false;
    if (when == QLatin1String("before")) {
        closed = dialog.close();
    } else {
        QTest::mouseClick(widget<QPushButton>(dialog, "startPB"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(reached.available() == 1, 20000);
        if (when == QLatin1String("during"))
            closed = dialog.close();
        go.release();
        QTRY_VERIFY_WITH_TIMEOUT(quit->isEnabled(), 20000);
        if (when == QLatin1String("after"))
            closed = dialog.close();
    }
    Checkpoint::setHook({});
    QCOMPARE(closed, closes);
    QCOMPARE(dialog.isVisible(), !closes);
    QCOMPARE(m_relaunches.commandLines, started);
}

void TestDialog::progressBeyondMaximum()
{
    Installation inst;
    inst.enter();
    UpdateDialog dialog;
    auto *bar = widget<QProgressBar>(dialog, "progressBar");
    QVERIFY(
        QMetaObject::invokeMethod(&dialog, "ptogressBarMsg", Q_ARG(int, 500), Q_ARG(int, 1000)));
    QCOMPARE(bar->value(), -1); // outside the range in force when it arrived
    QCOMPARE(bar->maximum(), 1000);
    QVERIFY(
        QMetaObject::invokeMethod(&dialog, "ptogressBarMsg", Q_ARG(int, 600), Q_ARG(int, 1000)));
    QCOMPARE(bar->value(), 600);
    QVERIFY(QMetaObject::invokeMethod(&dialog, "statusLabelMsg", Q_ARG(QString, "Some text")));
    QCOMPARE(widget<QLabel>(dialog, "statusLabel")->text(), "Some text");
}

void TestDialog::escapeIgnored()
{
    Installation inst;
    inst.enter();
    UpdateDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    widget<QPushButton>(dialog, "startPB")->setFocus();
    QTest::keyClick(widget<QPushButton>(dialog, "startPB"), Qt::Key_Escape);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.result(), 0);
    QVERIFY(m_relaunches.commandLines.isEmpty());
}

void TestDialog::slotTable()
{
    const QMetaObject &mo = UpdateDialog::staticMetaObject;
    const QList<QByteArray> expected = {"startUpdate()",
                                        "autoStartUpdate()",
                                        "statusLabelMsg(QString)",
                                        "ptogressBarMsg(int,int)",
                                        "updateStatusMsg(int)",
                                        "exit1()",
                                        "keyPressEvent(QKeyEvent*)"};
    QCOMPARE(mo.methodCount() - mo.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod m = mo.method(mo.methodOffset() + i);
        QCOMPARE(m.methodSignature(), expected[i]);
        QCOMPARE(m.access(), QMetaMethod::Private);
    }
}

UPDATER_TEST_MAIN(TestDialog)
