#pragma once

#include <QDir>
#include <QFile>
#include <QTest>

#include "tests/support/files.h"
#include "tests/support/installation.h"

// Unpacking packages in tst_zip.cpp, the archive writer in tst_zip_writer.cpp.
class TestZip : public QObject
{
    Q_OBJECT

private slots:
    void extractsInfoZipPackage();
    void replacesExistingFiles();
    void installsPermissionBitsOnly();
    void refusesUnsafeEntries_data();
    void refusesUnsafeEntries();
    void refusesWritingThroughExistingLink();
    void refusedBeforeAnythingLands_data();
    void refusedBeforeAnythingLands();
    void windowsFolderEntries();
    void nothingToExtract_data();
    void nothingToExtract();
    void damagedEntryFails();
    void moreDataThanDeclaredFails();
    void writerRoundTrip();
    void writerFailsWithoutFolder();
};
