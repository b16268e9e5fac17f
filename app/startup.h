#pragma once

#include <QString>
#include <QStringList>

class QTranslator;

namespace Startup {

// The value after the last "-A" of the arguments (entry 0 is the program); a value is never
// read as an option, and a trailing "-A" ends the scan.
QString automaticModeValue(const QStringList &arguments);
bool isAutomaticMode(const QStringList &arguments);

// Loads a catalogue by the toolkit's search rules (name + ".qm", the name itself, then cut at
// the last "_" or "." and again); an empty translator stays when nothing is found.
bool loadTranslation(QTranslator &translator, const QString &fileName);

} // namespace Startup
