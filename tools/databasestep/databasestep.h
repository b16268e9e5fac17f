#pragma once

#include <QDate>
#include <QString>

#include "database/databaseupdate.h"

// The database step on an installation as it lies, for tests and benchmarks: ../update-tmp/rcdb.zip
// taken as it is, unchecked, and a work folder of the step's own in the installation.
DatabaseUpdate::Result runDatabaseStep(DatabaseUpdate &update, const QDate &newDbVersion,
                                       bool copyOwnModels, const QString &rcTypeList);
