#include "tools/upload-server/uploadstore.h"

#include <atomic>
#include <filesystem>
#include <system_error>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringEncoder>
#include <QXmlStreamReader>

#include <sqlite3.h>
#include <zlib.h>

#include "common/catalogue/tablelayout.h"

namespace {

const QStringList modelColumns = TableLayout::modelColumnNames(Generation::Second);
const QStringList keyColumns = TableLayout::keyColumnNames(Generation::Second);
const QStringList aboutColumns = {QStringLiteral("macAddress"),
                                  QStringLiteral("currentMSecsSinceEpoch"),
                                  QStringLiteral("currentDateTimeUtc"),
                                  QStringLiteral("company"),
                                  QStringLiteral("address"),
                                  QStringLiteral("contact"),
                                  QStringLiteral("version")};

std::atomic<int> uploadCounter{0};

QString createStatement(const QString &table, const QStringList &columns)
{
    return QStringLiteral("CREATE TABLE %1 (%2 TEXT)")
        .arg(table, columns.join(QStringLiteral(" TEXT, ")));
}

QString insertStatement(const QString &table, const QStringList &columns)
{
    QStringList marks;
    for (int i = 0; i < columns.size(); ++i)
        marks << QStringLiteral("?");
    return QStringLiteral("INSERT INTO %1 (%2) VALUES (%3)")
        .arg(table, columns.join(QLatin1Char(',')), marks.join(QLatin1Char(',')));
}

// One prepared INSERT on the connection's own SQLite handle. A large upload holds hundreds of
// thousands of rows; binding through QSqlQuery formats a placeholder name for every value, which
// cost more than SQLite's own work. A row's values are encoded into one reused buffer, in the
// file's own encoding, so that SQLite neither copies nor translates them.
class RowInsert
{
public:
    static constexpr int maxColumns = 16;

    RowInsert() = default;
    RowInsert(const RowInsert &) = delete;
    RowInsert &operator=(const RowInsert &) = delete;
    ~RowInsert() { sqlite3_finalize(statement); }

    bool prepare(sqlite3 *connection, const QString &table, const QStringList &columns)
    {
        db = connection;
        const QByteArray text = insertStatement(table, columns).toUtf8();
        return sqlite3_prepare_v2(db, text.constData(), int(text.size()), &statement, nullptr) ==
               SQLITE_OK;
    }

    // Inserts one row; an absent value is stored as '', never as NULL.
    bool exec(const QStringView *values, int count)
    {
        qsizetype space = 1;
        for (int i = 0; i < count; ++i)
            space += encoder.requiredSpace(values[i].size());
        if (buffer.size() < space)
            buffer.resize(space);
        char *out = buffer.data();
        for (int i = 0; i < count; ++i) {
            char *end = encoder.appendToBuffer(out, values[i]);
            sqlite3_bind_text(statement, i + 1, out, int(end - out), SQLITE_STATIC);
            out = end;
        }
        const bool done = sqlite3_step(statement) == SQLITE_DONE;
        sqlite3_reset(statement);
        return done;
    }

    QString error() const { return QString::fromUtf8(sqlite3_errmsg(db)); }

private:
    sqlite3 *db = nullptr;
    sqlite3_stmt *statement = nullptr;
    QStringEncoder encoder{QStringEncoder::Utf8};
    QByteArray buffer;
};

sqlite3 *handleOf(const QSqlDatabase &db)
{
    const QVariant handle = db.driver() ? db.driver()->handle() : QVariant();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        return nullptr;
    return *static_cast<sqlite3 *const *>(handle.constData());
}

// The named attributes in column order; a missing one is kept as ''. The sender writes them in
// column order, so the attribute at the same position is tried first. Of a name given twice the
// first counts. The views point into attributes.
void collectAttributes(const QXmlStreamAttributes &attributes, const QStringList &columns,
                       QStringView *values)
{
    quint32 found = 0;
    for (qsizetype column = 0; column < columns.size(); ++column)
        values[column] = QStringView();
    for (qsizetype i = 0; i < attributes.size(); ++i) {
        const QStringView name = attributes.at(i).qualifiedName();
        qsizetype column = i < columns.size() && name == columns.at(i) ? i : columns.indexOf(name);
        if (column < 0 || (found & (1u << column)))
            continue;
        found |= 1u << column;
        values[column] = attributes.at(i).value();
    }
}

// Reads the document into the open database. Structure: <rc> holding <rcmodels> with <model>
// elements, <rckeys> with <key> elements, and one <about>.
bool parseInto(const QByteArray &document, QSqlDatabase &db, const QString &peer,
               UploadStore::Result *result)
{
    sqlite3 *connection = handleOf(db);
    if (!connection) {
        result->reason = QStringLiteral("store: no SQLite handle");
        return false;
    }
    RowInsert model, key, about;
    const QStringList aboutRow =
        aboutColumns + QStringList{QStringLiteral("peer"), QStringLiteral("receivedUtc")};
    if (!model.prepare(connection, QStringLiteral("rcmodels"), modelColumns) ||
        !key.prepare(connection, QStringLiteral("rckeys"), keyColumns) ||
        !about.prepare(connection, QStringLiteral("about"), aboutRow)) {
        result->reason = QStringLiteral("store: ") + model.error();
        return false;
    }

    QStringView values[RowInsert::maxColumns];
    QXmlStreamReader xml(document);
    int depth = 0;
    enum class Section { None, Models, Keys, About } section = Section::None;
    bool sawRoot = false, sawAbout = false;
    auto fail = [&](const QString &why) {
        result->reason = QStringLiteral("document: %1 (line %2)").arg(why).arg(xml.lineNumber());
        return false;
    };
    while (!xml.atEnd()) {
        const QXmlStreamReader::TokenType token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            const QStringView name = xml.name();
            ++depth;
            if (depth == 3) {
                // Nearly every element of a document is a model or a key.
                const QXmlStreamAttributes attributes = xml.attributes();
                if (section == Section::Keys && name == QLatin1String("key")) {
                    collectAttributes(attributes, keyColumns, values);
                    if (!key.exec(values, int(keyColumns.size())))
                        return fail(QStringLiteral("store: ") + key.error());
                    ++result->keys;
                } else if (section == Section::Models && name == QLatin1String("model")) {
                    collectAttributes(attributes, modelColumns, values);
                    if (!model.exec(values, int(modelColumns.size())))
                        return fail(QStringLiteral("store: ") + model.error());
                    ++result->models;
                } else {
                    return fail(QStringLiteral("unexpected element <%1>").arg(name));
                }
            } else if (depth == 1) {
                if (name != QLatin1String("rc"))
                    return fail(QStringLiteral("root element is <%1>, not <rc>").arg(name));
                sawRoot = true;
            } else if (depth == 2) {
                if (name == QLatin1String("rcmodels")) {
                    section = Section::Models;
                } else if (name == QLatin1String("rckeys")) {
                    section = Section::Keys;
                } else if (name == QLatin1String("about")) {
                    section = Section::About;
                    if (sawAbout)
                        return fail(QStringLiteral("more than one <about>"));
                    sawAbout = true;
                    const QXmlStreamAttributes attributes = xml.attributes();
                    const QString received =
                        QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
                    collectAttributes(attributes, aboutColumns, values);
                    values[aboutColumns.size()] = peer;
                    values[aboutColumns.size() + 1] = received;
                    if (!about.exec(values, int(aboutRow.size())))
                        return fail(QStringLiteral("store: ") + about.error());
                } else {
                    return fail(QStringLiteral("unexpected element <%1> in <rc>").arg(name));
                }
            } else {
                return fail(QStringLiteral("unexpected element <%1>").arg(name));
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        } else if (token == QXmlStreamReader::Characters && !xml.isWhitespace()) {
            return fail(QStringLiteral("text where only elements are expected"));
        }
    }
    if (xml.hasError())
        return fail(xml.errorString());
    if (!sawRoot)
        return fail(QStringLiteral("no <rc> element"));
    if (!sawAbout)
        return fail(QStringLiteral("no <about> element"));
    return true;
}

} // namespace

UploadStore::Inflated UploadStore::inflateDocument(const QByteArray &block, qint64 maxDocumentSize)
{
    auto fail = [](const QString &why) { return Inflated{QByteArray(), why}; };
    if (block.size() < 4)
        return fail(QStringLiteral("no document size"));
    const auto *bytes = reinterpret_cast<const uchar *>(block.constData());
    const quint32 stated = (quint32(bytes[0]) << 24) | (quint32(bytes[1]) << 16) |
                           (quint32(bytes[2]) << 8) | quint32(bytes[3]);
    if (qint64(stated) > maxDocumentSize)
        return fail(QStringLiteral("document of %1 bytes is over the limit of %2")
                        .arg(stated)
                        .arg(maxDocumentSize));

    // Inflated by hand rather than by qUncompress, which keeps doubling its buffer for a stream
    // longer than stated: the stated size is the most this will ever write. The stated size is
    // still only a claim, made by a frame of a few bytes as easily as by a large one: the buffer
    // grows with what the stream really gives instead of being taken whole up front.
    constexpr qint64 firstChunk = 64 * 1024;
    QByteArray document;
    z_stream stream{};
    if (inflateInit(&stream) != Z_OK)
        return fail(QStringLiteral("zlib: can not start"));
    stream.next_in = const_cast<Bytef *>(bytes + 4);
    stream.avail_in = uInt(block.size() - 4);
    Bytef probe = 0;
    int status = Z_OK;
    while (status == Z_OK && qint64(stream.total_out) <= qint64(stated)) {
        if (stream.avail_out == 0) {
            const qint64 produced = qint64(stream.total_out);
            if (produced < qint64(stated)) {
                document.resize(qsizetype(
                    qMin<qint64>(stated, qMax<qint64>(firstChunk, 2 * qint64(document.size())))));
                stream.next_out = reinterpret_cast<Bytef *>(document.data()) + produced;
                stream.avail_out = uInt(document.size() - produced);
            } else {
                // Full: a stream that would go on past the stated size needs a byte of room to
                // show it.
                stream.next_out = &probe;
                stream.avail_out = 1;
            }
        }
        status = ::inflate(&stream, Z_NO_FLUSH);
    }
    const qint64 produced = qint64(stream.total_out);
    const uInt leftOver = stream.avail_in;
    const QString zlibMessage = stream.msg ? QString::fromLatin1(stream.msg) : QString();
    inflateEnd(&stream);
    if (produced > qint64(stated))
        return fail(QStringLiteral("zlib stream is longer than the stated %1 bytes").arg(stated));
    if (status == Z_DATA_ERROR || status == Z_NEED_DICT || status == Z_MEM_ERROR ||
        status == Z_STREAM_ERROR)
        return fail(QStringLiteral("zlib stream is corrupt: %1").arg(zlibMessage));
    if (status != Z_STREAM_END)
        return fail(QStringLiteral("zlib stream is cut short"));
    if (produced != qint64(stated))
        return fail(
            QStringLiteral("document is %1 bytes, %2 were stated").arg(produced).arg(stated));
    if (leftOver != 0)
        return fail(QStringLiteral("%1 bytes after the end of the zlib stream").arg(leftOver));
    return {document, QString()};
}

UploadStore::Result UploadStore::store(const QByteArray &document, const QString &folder,
                                       const QString &peer)
{
    Result result;
    const int number = ++uploadCounter;
    const QString base = QDir(folder).filePath(
        QStringLiteral("upload-%1-%2")
            .arg(QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-hhmmsszzz")))
            .arg(number));
    const QString partial = base + QStringLiteral(".db.part");
    const QString connectionName = QStringLiteral("upload-store-%1").arg(number);
    QFile::remove(partial);
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db.setDatabaseName(partial);
        ok = db.open();
        if (!ok) {
            result.reason = QStringLiteral("store: ") + db.lastError().text();
        } else {
            QSqlQuery create(db);
            ok = create.exec(
                     createStatement(QStringLiteral("about"),
                                     aboutColumns + QStringList{QStringLiteral("peer"),
                                                                QStringLiteral("receivedUtc")})) &&
                 create.exec(createStatement(QStringLiteral("rcmodels"), modelColumns)) &&
                 create.exec(createStatement(QStringLiteral("rckeys"), keyColumns));
            if (!ok)
                result.reason = QStringLiteral("store: ") + create.lastError().text();
            ok = ok && db.transaction();
            if (ok) {
                ok = parseInto(document, db, peer, &result);
                ok = ok ? db.commit() : (db.rollback(), false);
                if (!ok && result.reason.isEmpty())
                    result.reason = QStringLiteral("store: ") + db.lastError().text();
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(connectionName);

    if (ok) {
        result.file = base + QStringLiteral(".db");
        std::error_code ec;
        std::filesystem::rename(QFile::encodeName(partial).toStdString(),
                                QFile::encodeName(result.file).toStdString(), ec);
        ok = !ec;
        if (!ok)
            result.reason = QStringLiteral("store: ") + QString::fromStdString(ec.message());
    }
    if (!ok) {
        QFile::remove(partial);
        result.file.clear();
    }
    result.ok = ok;
    return result;
}

UploadStore::Result UploadStore::receive(const QByteArray &block, qint64 maxDocumentSize,
                                         const QString &folder, const QString &peer)
{
    const Inflated inflated = inflateDocument(block, maxDocumentSize);
    if (!inflated.errorString.isEmpty()) {
        Result result;
        result.reason = inflated.errorString;
        return result;
    }
    return store(inflated.document, folder, peer);
}
