#pragma once

#include <QSqlDatabase>
#include <QString>

// After an update a supplied model stays visible only when its key set has a key of one of
// the user's remote-control types; the user's own models are always visible.
namespace Visibility {

// The statement that hides supplied models. The type ids are spliced in as digits and commas
// only; an empty list gives "IN ()", which hides every supplied model.
QString hideStatement(const QString &rcTypeList);

// Shows every model, then hides the supplied models without a key of a listed type. Each is a
// statement of its own.
bool apply(const QSqlDatabase &db, const QString &rcTypeList, QString *error = nullptr);

} // namespace Visibility
