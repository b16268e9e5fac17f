// bench-backup idle
// bench-backup backup <database> <archive>
// bench-backup update <working folder> [rcTypeList]
// The database backup alone, or the whole database update in an installation, with the time it
// took; "idle" only starts and ends, for the memory the process needs anyway.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>

#include "common/files/platform.h"
#include "database/databasebackup.h"
#include "database/databaseupdate.h"
#include "tools/databasestep/databasestep.h"

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const QString mode = arguments.value(1);
    QTextStream out(stdout);
    QTextStream err(stderr);
    QElapsedTimer timer;
    timer.start();

    if (mode == QLatin1String("idle"))
        return 0;
    if (mode == QLatin1String("backup") && arguments.size() == 4) {
        const QFileInfo database(arguments.at(2));
        const QFileInfo archive(arguments.at(3));
        Platform::Folder databaseFolder;
        Platform::Folder archiveFolder;
        Platform::File file;
        if (databaseFolder.open(database.absolutePath()))
            file = databaseFolder.openForReading(database.fileName(), true);
        if (!file.isOpen() || !archiveFolder.open(archive.absolutePath())) {
            err << "can not open " << arguments.at(2) << " or the folder of " << arguments.at(3)
                << "\n";
            return 1;
        }
        DatabaseBackup backup(archiveFolder, archive.fileName());
        if (!backup.begin(file.info()) || !backup.finish(file, file.info())) {
            err << "backup failed: " << backup.errorString() << "\n";
            return 1;
        }
        out << "backup " << timer.elapsed() << " ms\n";
        return 0;
    }
    if (mode == QLatin1String("update") && arguments.size() >= 3) {
        if (!QDir::setCurrent(arguments.at(2))) {
            err << "no folder " << arguments.at(2) << "\n";
            return 1;
        }
        DatabaseUpdate update;
        QObject::connect(&update, &DatabaseUpdate::statusText,
                         [&err](const QString &text) { err << text << "\n"; });
        // Where the time goes: up to the backup, the unpacking, the merge, and the rest.
        int reported = 0;
        QObject::connect(&update, &DatabaseUpdate::progress,
                         [&timer, &err, &reported](int current, int) {
                             if (current / 100 == reported / 100)
                                 return;
                             reported = current;
                             err << "at " << current << ": " << timer.elapsed() << " ms\n";
                         });
        const DatabaseUpdate::Result result = runDatabaseStep(
            update, QDate::currentDate(), true, arguments.value(3, QStringLiteral("1,3,5")));
        const bool ok = bool(result);
        if (!ok)
            err << result.cause << "\n";
        out << "update " << (ok ? "done" : "failed") << " " << timer.elapsed() << " ms\n";
        return ok ? 0 : 1;
    }
    err << "usage: bench-backup idle | backup <database> <archive> | update <working folder> "
           "[rcTypeList]\n";
    return 2;
}
