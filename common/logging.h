#pragma once

#include <QLoggingCategory>

// One category per module, so that a run's diagnostics can be filtered by where they come from.
Q_DECLARE_LOGGING_CATEGORY(lcZip)
Q_DECLARE_LOGGING_CATEGORY(lcSettings)
Q_DECLARE_LOGGING_CATEGORY(lcUpdate)
Q_DECLARE_LOGGING_CATEGORY(lcDatabase)
Q_DECLARE_LOGGING_CATEGORY(lcUpload)
Q_DECLARE_LOGGING_CATEGORY(lcApp)
