// bench-merge <current.db> <new.db> [rcTypeList]: the own-model merge and the visibility rule on
// two existing files, as the updater runs them, with the time each took.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include "database/ownmodelmerge.h"
#include "database/sqlconnection.h"
#include "database/visibility.h"

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    QTextStream out(stdout);
    if (arguments.size() < 3) {
        QTextStream(stderr) << "usage: bench-merge <current.db> <new.db> [rcTypeList]\n";
        return 2;
    }
    const QString rcTypeList = arguments.size() > 3 ? arguments.at(3) : QStringLiteral("1,3,5");

    QElapsedTimer total;
    total.start();
    SqlConnection current(QStringLiteral("curDB"), arguments.at(1));
    SqlConnection target(arguments.at(2), arguments.at(2));
    if (!current.open() || !target.open()) {
        QTextStream(stderr) << "can not open the databases\n";
        return 1;
    }
    SqlConnection::useAsScratch(target.database());
    QElapsedTimer step;
    step.start();
    OwnModelMerge merge(current.database(), target.database());
    if (!merge.run(true)) {
        QTextStream(stderr) << "merge failed: " << merge.errorString() << "\n";
        return 1;
    }
    const qint64 mergeMs = step.restart();
    Visibility visibility(target.database());
    if (!visibility.apply(rcTypeList)) {
        QTextStream(stderr) << "visibility failed: " << visibility.errorString() << "\n";
        return 1;
    }
    const qint64 visibilityMs = step.elapsed();
    out << "merge " << mergeMs << " ms, visibility " << visibilityMs << " ms, total "
        << total.elapsed() << " ms\n";
    return 0;
}
