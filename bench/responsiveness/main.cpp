// Runs the dialog and a real update in one process and measures the longest gap between the
// ticks of a 10 ms timer on the GUI thread while the update runs: how long the window could
// not repaint or react.
//
//   bench-responsiveness <installation folder>   (run with QT_QPA_PLATFORM=offscreen)
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTextStream>
#include <QTimer>

#include "app/relaunch.h"
#include "app/updatedialog.h"

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList arguments = QApplication::arguments();
    if (arguments.size() != 2 || !QDir::setCurrent(arguments.at(1) + QStringLiteral("/update"))) {
        QTextStream(stderr) << "usage: bench-responsiveness <installation folder>\n";
        return 2;
    }

    UpdateDialog dialog;
    dialog.autoUpdate = true;
    auto *start = dialog.findChild<QPushButton *>(QStringLiteral("startPB"));

    QElapsedTimer clock;
    qint64 last = -1;
    qint64 longest = 0;
    qint64 ticks = 0;
    qint64 updateStarted = -1;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        const bool running = !start->isEnabled();
        if (running && updateStarted < 0)
            updateStarted = now;
        if (running && last >= 0) {
            longest = qMax(longest, now - last);
            ++ticks;
        }
        last = now;
    });
    // Called once when the update has ended. quit() would ask the window to close first, and an
    // ended dialog answers a close with the restart, which calls this again: exit() does not ask.
    bool reported = false;
    Relaunch::setHookForTesting([&](const QString &) {
        if (reported)
            return;
        reported = true;
        const qint64 took = clock.nsecsElapsed() - updateStarted;
        QTextStream(stdout) << "update " << took / 1000000 << " ms, " << ticks
                            << " ticks, longest GUI stall " << longest / 1000000 << "."
                            << (longest / 100000) % 10 << " ms\n";
        QTimer::singleShot(0, &application, [] { QCoreApplication::exit(0); });
    });

    clock.start();
    ticker.start(10);
    dialog.show();
    return application.exec();
}
