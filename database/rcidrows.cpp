#include "database/rcidrows.h"

#include <sqlite3.h>

#include "database/sqlconnection.h"

bool RcidRows::insert(const QSqlDatabase &db, const QString &statement, const QStringList &rcids)
{
    clearError();
    sqlite3 *connection = SqlConnection::handle(db);
    if (!connection)
        return failBecause(QStringLiteral("own Rcids: the connection has no SQLite handle"));
    sqlite3_stmt *insert = nullptr;
    const QByteArray text = statement.toUtf8();
    if (sqlite3_prepare_v2(connection, text.constData(), int(text.size()), &insert, nullptr) !=
        SQLITE_OK)
        return failBecause(QStringLiteral("own Rcids: ") +
                           QString::fromUtf8(sqlite3_errmsg(connection)));
    int result = SQLITE_DONE;
    for (int seq = 0; seq < rcids.size() && result == SQLITE_DONE; ++seq) {
        const QString &rcid = rcids.at(seq);
        sqlite3_bind_int(insert, 1, seq);
        // An empty QString is bound as '' (never NULL), as textOf() makes every Rcid.
        const void *utf16 = rcid.isNull() ? static_cast<const void *>(u"") : rcid.utf16();
        sqlite3_bind_text16(insert, 2, utf16, int(rcid.size() * sizeof(char16_t)), SQLITE_STATIC);
        result = sqlite3_step(insert);
        sqlite3_reset(insert);
    }
    const QString error = QString::fromUtf8(sqlite3_errmsg(connection));
    sqlite3_finalize(insert);
    return result == SQLITE_DONE || failBecause(QStringLiteral("own Rcids: ") + error);
}
