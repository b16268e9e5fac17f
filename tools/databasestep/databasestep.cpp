#include "tools/databasestep/databasestep.h"

#include <QFile>
#include <QFileInfo>

#include "common/files/platform.h"
#include "common/files/untrustedfile.h"
#include "common/files/workfolder.h"
#include "common/paths.h"

DatabaseUpdate::Result runDatabaseStep(DatabaseUpdate &update, const QDate &newDbVersion,
                                       bool copyOwnModels, const QString &rcTypeList)
{
    Platform::Folder installation;
    Platform::Folder downloads;
    WorkFolder work;
    // Without a work folder of its own the step makes one beside the database.
    if (installation.open(Paths::installationFolder()) && !work.create(installation))
        work.remove();
    const bool haveDownloads = downloads.open(Paths::updateFolder());
    UntrustedFile package;
    const bool taken =
        haveDownloads &&
        package.open(downloads, QFileInfo(Paths::databasePackagePath()).fileName(), true);
    return update.run(newDbVersion, copyOwnModels, rcTypeList,
                      taken ? package.file().get() : nullptr, haveDownloads ? &downloads : nullptr,
                      work.isValid() ? &work : nullptr);
}
