#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

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
    Zip::Extractor extractor(arguments.at(2));
    if (!extractor.extractAll(arguments.at(1))) {
        err << extractor.errorString() << "\n";
        return 1;
    }
    out << extractor.writtenFiles().size() << " files in " << timer.elapsed() << " ms\n";
    return 0;
}
