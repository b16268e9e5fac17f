#include "common/logging.h"

Q_LOGGING_CATEGORY(lcZip, "kestrelix.zip")
Q_LOGGING_CATEGORY(lcSettings, "kestrelix.settings")
Q_LOGGING_CATEGORY(lcUpdate, "kestrelix.update")
Q_LOGGING_CATEGORY(lcDatabase, "kestrelix.database")
Q_LOGGING_CATEGORY(lcUpload, "kestrelix.upload")
Q_LOGGING_CATEGORY(lcApp, "kestrelix.app")
