#include "common/zip/onefilearchive.h"

#ifdef Q_OS_WIN
#include <zlib.h>
#else
#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
#endif

#include "common/zip/unixmode.h"

namespace Zip {

namespace {

constexpr qint64 storedBelow = 64;
constexpr qint64 chunk = 1 << 20;
// Above this the sizes go into ZIP64 fields: deflate may add a little to data that does not
// compress, so the classic 32-bit fields are left with room to spare.
constexpr qint64 classicLimit = 0xF0000000LL;
constexpr quint32 ones32 = 0xFFFFFFFFu;

// The signatures and the one extra field of the format.
constexpr quint32 localHeaderSignature = 0x04034b50;
constexpr quint32 centralHeaderSignature = 0x02014b50;
constexpr quint32 endSignature = 0x06054b50;
constexpr quint32 zip64EndSignature = 0x06064b50;
constexpr quint32 zip64LocatorSignature = 0x07064b50;
constexpr quint16 zip64ExtraId = 0x0001;
constexpr quint16 versionDeflate = 20;
constexpr quint16 versionZip64 = 45;
constexpr quint16 madeOnUnix = 3 << 8;
constexpr quint16 methodStored = 0;
constexpr quint16 methodDeflated = 8;
// Where the local header holds what is known only once the data is written.
constexpr qint64 localCrcOffset = 14;
constexpr int localFixedSize = 30;
constexpr int zip64ExtraSize = 4 + 16;

void put16(QByteArray &out, quint32 value)
{
    out.append(char(value & 0xff)).append(char((value >> 8) & 0xff));
}

void put32(QByteArray &out, quint32 value)
{
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

void put64(QByteArray &out, quint64 value)
{
    put32(out, quint32(value & 0xffffffffu));
    put32(out, quint32(value >> 32));
}

// The time and date fields of a ZIP header, in the local time that ZIP tools show.
QPair<quint16, quint16> dosTime(const QDateTime &local)
{
    const QDate date = local.date();
    const QTime time = local.time();
    if (!date.isValid() || date.year() < 1980)
        return {0, (1 << 5) | 1};
    return {quint16((time.hour() << 11) | (time.minute() << 5) | (time.second() / 2)),
            quint16(((date.year() - 1980) << 9) | (date.month() << 5) | date.day())};
}

// What the local and the central header say of the entry once its data is written.
struct EntryFields
{
    bool zip64 = false;
    quint16 method = methodStored;
    QPair<quint16, quint16> when;
    quint32 crc = 0;
    quint64 compressed = 0;
    quint64 size = 0;
    QByteArray name;
};

QByteArray zip64Extra(const EntryFields &fields)
{
    QByteArray extra;
    if (!fields.zip64)
        return extra;
    put16(extra, zip64ExtraId);
    put16(extra, 16);
    put64(extra, fields.size);
    put64(extra, fields.compressed);
    return extra;
}

// From "version needed" to the extra field's length, as both headers have it.
QByteArray sharedFields(const EntryFields &fields)
{
    QByteArray out;
    put16(out, fields.zip64 ? versionZip64 : versionDeflate);
    put16(out, 0); // flags: sizes and CRC are in the header, no data descriptor
    put16(out, fields.method);
    put16(out, fields.when.first);
    put16(out, fields.when.second);
    put32(out, fields.crc);
    put32(out, fields.zip64 ? ones32 : quint32(fields.compressed));
    put32(out, fields.zip64 ? ones32 : quint32(fields.size));
    put16(out, quint16(fields.name.size()));
    put16(out, quint16(fields.zip64 ? zip64ExtraSize : 0));
    return out;
}

QByteArray localHeader(const EntryFields &fields)
{
    QByteArray out;
    put32(out, localHeaderSignature);
    return out + sharedFields(fields) + fields.name + zip64Extra(fields);
}

// The central directory and the end records that follow the data.
QByteArray directory(const EntryFields &fields, quint32 mode, quint64 directoryOffset)
{
    QByteArray central;
    put32(central, centralHeaderSignature);
    put16(central, madeOnUnix | (fields.zip64 ? versionZip64 : versionDeflate));
    central += sharedFields(fields);
    put16(central, 0); // comment
    put16(central, 0); // disk
    put16(central, 0); // internal attributes
    put32(central, mode << 16);
    put32(central, 0); // the local header is at the start
    central += fields.name + zip64Extra(fields);

    QByteArray out = central;
    const bool zip64End = fields.zip64 || directoryOffset >= ones32;
    if (zip64End) {
        const quint64 endOffset = directoryOffset + quint64(central.size());
        put32(out, zip64EndSignature);
        put64(out, 44); // the record's size after this field
        put16(out, madeOnUnix | versionZip64);
        put16(out, versionZip64);
        put32(out, 0); // this disk
        put32(out, 0); // the directory's disk
        put64(out, 1);
        put64(out, 1);
        put64(out, quint64(central.size()));
        put64(out, directoryOffset);
        put32(out, zip64LocatorSignature);
        put32(out, 0);
        put64(out, endOffset);
        put32(out, 1);
    }
    put32(out, endSignature);
    put16(out, 0);
    put16(out, 0);
    put16(out, 1);
    put16(out, 1);
    put32(out, quint32(central.size()));
    put32(out, zip64End ? ones32 : quint32(directoryOffset));
    put16(out, 0);
    return out;
}

// One raw deflate stream at level 1, fed chunk by chunk, each piece of output handed to write.
// ISA-L on Linux (several times zlib's speed at a like size); zlib on Windows, whose dependency
// prefix has no ISA-L. The archive around the stream is the same either way.
class LevelOneDeflater
{
public:
    LevelOneDeflater();
    ~LevelOneDeflater();
    LevelOneDeflater(const LevelOneDeflater &) = delete;
    LevelOneDeflater &operator=(const LevelOneDeflater &) = delete;

    // False when compressing failed or write did.
    template <typename Write> bool feed(char *in, qint64 size, bool last, Write write);

private:
    QByteArray m_out = QByteArray(chunk + 64 * 1024, Qt::Uninitialized);
#ifdef Q_OS_WIN
    z_stream m_stream{};
    bool m_ready = false;
#else
    isal_zstream m_stream;
    QByteArray m_levelBuffer = QByteArray(ISAL_DEF_LVL1_DEFAULT, Qt::Uninitialized);
#endif
};

#ifdef Q_OS_WIN

quint32 updateCrc(quint32 crc, const char *data, qint64 size)
{
    return quint32(::crc32(crc, reinterpret_cast<const Bytef *>(data), uInt(size)));
}

LevelOneDeflater::LevelOneDeflater()
{
    m_ready = deflateInit2(&m_stream, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK;
}

LevelOneDeflater::~LevelOneDeflater()
{
    if (m_ready)
        deflateEnd(&m_stream);
}

template <typename Write> bool LevelOneDeflater::feed(char *in, qint64 size, bool last, Write write)
{
    if (!m_ready)
        return false;
    m_stream.next_in = reinterpret_cast<Bytef *>(in);
    m_stream.avail_in = uInt(size);
    int result = Z_OK;
    do {
        m_stream.next_out = reinterpret_cast<Bytef *>(m_out.data());
        m_stream.avail_out = uInt(m_out.size());
        result = ::deflate(&m_stream, last ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_ERROR)
            return false;
        if (!write(m_out.constData(), m_out.size() - qint64(m_stream.avail_out)))
            return false;
    } while (last ? result != Z_STREAM_END : m_stream.avail_out == 0);
    return true;
}

#else

quint32 updateCrc(quint32 crc, const char *data, qint64 size)
{
    return crc32_gzip_refl(crc, reinterpret_cast<const uint8_t *>(data), quint64(size));
}

LevelOneDeflater::LevelOneDeflater()
{
    isal_deflate_init(&m_stream);
    m_stream.level = 1;
    m_stream.level_buf = reinterpret_cast<uint8_t *>(m_levelBuffer.data());
    m_stream.level_buf_size = quint32(m_levelBuffer.size());
    m_stream.gzip_flag = IGZIP_DEFLATE;
    m_stream.flush = NO_FLUSH;
}

LevelOneDeflater::~LevelOneDeflater() = default;

template <typename Write> bool LevelOneDeflater::feed(char *in, qint64 size, bool last, Write write)
{
    m_stream.next_in = reinterpret_cast<uint8_t *>(in);
    m_stream.avail_in = quint32(size);
    m_stream.end_of_stream = last ? 1 : 0;
    do {
        m_stream.next_out = reinterpret_cast<uint8_t *>(m_out.data());
        m_stream.avail_out = quint32(m_out.size());
        if (isal_deflate(&m_stream) != COMP_OK)
            return false;
        if (!write(m_out.constData(), m_out.size() - qint64(m_stream.avail_out)))
            return false;
    } while (m_stream.avail_in > 0 || (last && m_stream.internal_state.state != ZSTATE_END));
    return true;
}

#endif

} // namespace

bool OneFileArchive::copyData(const Source &source, bool deflate, Platform::File &archive,
                              quint32 *crc, qint64 *written)
{
    LevelOneDeflater deflater;
    QByteArray in(chunk, Qt::Uninitialized);
    qint64 read = 0;
    for (bool last = false; !last;) {
        const qint64 n = source.file->readAt(read, in.data(), qMin(chunk, source.size - read));
        if (n < 0)
            return failBecause(QStringLiteral("Can not read the file: ") +
                               source.file->errorString());
        read += n;
        if (source.read)
            source.read->store(read);
        last = n == 0 || read >= source.size;
        *crc = updateCrc(*crc, in.constData(), n);
        if (!deflate) {
            if (!archive.write(in.constData(), n))
                return failBecause(archive.errorString());
            *written += n;
            continue;
        }
        bool writeFailed = false;
        const bool fed = deflater.feed(in.data(), n, last, [&](const char *data, qint64 produced) {
            writeFailed = !archive.write(data, produced);
            *written += produced;
            return !writeFailed;
        });
        if (writeFailed)
            return failBecause(archive.errorString());
        if (!fed)
            return failBecause(QStringLiteral("Can not compress the file"));
    }
    // The file is held by nobody else while it is read; one that changed size is no copy of it.
    if (read != source.size)
        return failBecause(QStringLiteral("the file changed while it was read"));
    return true;
}

bool OneFileArchive::write(const QString &entryName, const Source &source, Platform::File &archive)
{
    clearError();
    EntryFields fields;
    fields.zip64 = source.size > classicLimit;
    fields.method = source.size < storedBelow ? methodStored : methodDeflated;
    fields.when = dosTime(source.modified);
    fields.size = quint64(source.size);
    fields.name = entryName.toUtf8();
    // The header first with what is known, completed once the data is written.
    const QByteArray header = localHeader(fields);
    if (!archive.write(header.constData(), header.size()))
        return failBecause(archive.errorString());
    qint64 written = 0;
    if (!copyData(source, fields.method == methodDeflated, archive, &fields.crc, &written))
        return false;
    fields.compressed = quint64(written);
    if (!fields.zip64 && written >= ones32)
        return failBecause(QStringLiteral("the file does not compress to under 4 GiB"));
    const QByteArray end = directory(fields, UnixMode::regularFile | source.permissions,
                                     quint64(header.size() + written));
    const QByteArray completed = localHeader(fields);
    if (!archive.write(end.constData(), end.size()) ||
        !archive.writeAt(localCrcOffset, completed.constData() + localCrcOffset,
                         localFixedSize - localCrcOffset - 4) ||
        (fields.zip64 && !archive.writeAt(completed.size() - zip64ExtraSize,
                                          completed.constData() + completed.size() - zip64ExtraSize,
                                          zip64ExtraSize)))
        return failBecause(archive.errorString());
    return true;
}

} // namespace Zip
