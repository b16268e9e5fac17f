#pragma once

#include <functional>
#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QHash>
#include <QTemporaryDir>
#include <QTest>

#include "tests/support/databaseshapes.h"
#include "tests/support/files.h"
#include "tests/support/installation.h"
#include "tests/support/sqliteoracle.h"

// What a row does to the installation before the run; exe is the Python literal of the new
// executable's entry.
using SetUp = std::function<void(Installation &inst, const QString &exe)>;

// What a row leaves of the user's catalogue.
enum class Catalogue {
    Kept,   // a database the update can use
    Spoilt, // not a database: it must stay byte for byte
    Torn,   // a hot journal beside it: the committed state counts
};

// Files only root may read, in a folder only root may enter, each with the bytes it must keep.
QHash<QString, QByteArray> &rootOnlyFiles();

Q_DECLARE_METATYPE(SetUp)
Q_DECLARE_METATYPE(Catalogue)

// The rows and what each spoils in tst_hostile_rows.cpp, the run and what must hold after it in
// tst_hostile.cpp.
class TestHostile : public QObject
{
    Q_OBJECT

private slots:
    void corpus_data();
    void corpus();
};
