#pragma once

#include <QStringList>

// "sample-install db [options] <out.db>": writes a first- or second-generation rc.db of any size.
int runDatabaseCommand(const QStringList &arguments);
