#pragma once

#include <QString>

// The remote-control types the user works with, as stored in Settings/rcTypes: every run of
// decimal digits is one type id. The ids are joined with "," in the order they stand,
// duplicates and leading zeros kept; a text without digits gives the empty list.
QString rcTypeListFrom(const QString &setting);
