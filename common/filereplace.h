#pragma once

#include <QString>

// Files that must never be half-written or missing are written beside their place and renamed
// over it in one step: the target is always either the old or the new file.
namespace FileReplace {

// Renames source over target, replacing an existing target atomically.
bool renameOver(const QString &source, const QString &target, QString *error = nullptr);

// Copies source to a temporary file beside target, flushes it to disk and renames it over
// target. On failure the temporary file is removed and target is untouched. A failure while
// copying and a failure of the final rename are told apart through renameFailed.
bool copyOver(const QString &source, const QString &target, bool *renameFailed = nullptr,
              QString *error = nullptr);

} // namespace FileReplace
