#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTextStream>

#include "common/files/platform.h"
#include "common/zip/zipextract.h"

// bench-unpack <package> <folder>: unpacks a package the way the updater installs one (checked,
// staged, on the disk, renamed into place), for bench/unpack.sh to time beside unzip and sync.
int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    QTextStream out(stdout);
    QTextStream err(stderr);
    if (arguments.size() != 3) {
        err << "usage: bench-unpack <package> <folder>\n";
        return 2;
    }
    QElapsedTimer timer;
    timer.start();
    Platform::Folder folder;
    QFile package(arguments.at(1));
    if (!folder.open(arguments.at(2)) || !package.open(QIODevice::ReadOnly)) {
        err << "can not open " << arguments.at(1) << " or " << arguments.at(2) << "\n";
        return 1;
    }
    Zip::Extractor extractor(folder);
    if (!extractor.extractAll(package, arguments.at(1))) {
        err << extractor.errorString() << "\n";
        return 1;
    }
    out << extractor.writtenFiles().size() << " files in " << timer.elapsed() << " ms\n";
    return 0;
}
