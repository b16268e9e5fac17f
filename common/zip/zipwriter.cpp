#include "common/zip/zipwriter.h"

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>

#include <QDateTime>
#include <QFileInfo>

#include <zip.h>

#include "common/logging.h"
#include "common/zip/unixmode.h"

namespace Zip {

namespace {

constexpr qint64 storedBelow = 64;

} // namespace

Writer::Writer(const QString &archivePath) : m_path(archivePath) {}

Writer::~Writer()
{
    if (m_archive)
        zip_discard(m_archive);
}

bool Writer::warnAndFail(const QString &text)
{
    qCWarning(lcZip).noquote() << text;
    return failBecause(text);
}

bool Writer::open()
{
    const QFileInfo info(m_path);
    if (!QFileInfo(info.absolutePath()).isDir() || info.isDir())
        return warnAndFail(QStringLiteral("Can not create \"%1\"").arg(m_path));
    int openError = 0;
    m_archive =
        zip_open(QFile::encodeName(m_path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &openError);
    if (!m_archive) {
        zip_error_t ze;
        zip_error_init_with_code(&ze, openError);
        const QString text = QString::fromUtf8(zip_error_strerror(&ze));
        zip_error_fini(&ze);
        return warnAndFail(QStringLiteral("Can not create \"%1\": %2").arg(m_path, text));
    }
    return true;
}

bool Writer::finishEntry(qint64 index, qint64 size, quint32 mode)
{
    if (index < 0)
        return warnAndFail(QString::fromUtf8(zip_strerror(m_archive)));
    const auto method = size < storedBelow ? ZIP_CM_STORE : ZIP_CM_DEFLATE;
    if (zip_set_file_compression(m_archive, zip_uint64_t(index), method,
                                 method == ZIP_CM_STORE ? 0 : zip_uint32_t(m_level)) != 0 ||
        zip_file_set_external_attributes(m_archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
                                         zip_uint32_t(mode) << 16) != 0)
        return warnAndFail(QString::fromUtf8(zip_strerror(m_archive)));
    return true;
}

bool Writer::addFile(const QString &entryName, const QString &sourcePath,
                     QFileDevice::Permissions permissions)
{
    if (!m_archive)
        return warnAndFail(QStringLiteral("Archive not open"));
    const QFileInfo info(sourcePath);
    zip_source_t *source =
        zip_source_file(m_archive, QFile::encodeName(sourcePath).constData(), 0, -1);
    if (!source)
        return warnAndFail(QStringLiteral("Can not read \"%1\": %2")
                               .arg(sourcePath, QString::fromUtf8(zip_strerror(m_archive))));
    const zip_int64_t index =
        zip_file_add(m_archive, entryName.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0)
        zip_source_free(source);
    return finishEntry(index, info.size(),
                       UnixMode::regularFile | UnixMode::fromPermissions(permissions));
}

bool Writer::addData(const QString &entryName, const QByteArray &data,
                     QFileDevice::Permissions permissions)
{
    if (!m_archive)
        return warnAndFail(QStringLiteral("Archive not open"));
    m_buffers.push_back(data);
    const QByteArray &kept = m_buffers.back();
    zip_source_t *source = zip_source_buffer(m_archive, kept.constData(), kept.size(), 0);
    if (!source)
        return warnAndFail(QString::fromUtf8(zip_strerror(m_archive)));
    const zip_int64_t index =
        zip_file_add(m_archive, entryName.toUtf8().constData(), source, ZIP_FL_ENC_UTF_8);
    if (index < 0)
        zip_source_free(source);
    return finishEntry(index, data.size(),
                       UnixMode::regularFile | UnixMode::fromPermissions(permissions));
}

bool Writer::addDirectory(const QString &entryName, QFileDevice::Permissions permissions)
{
    if (!m_archive)
        return warnAndFail(QStringLiteral("Archive not open"));
    const zip_int64_t index =
        zip_dir_add(m_archive, entryName.toUtf8().constData(), ZIP_FL_ENC_UTF_8);
    if (index < 0)
        return warnAndFail(QString::fromUtf8(zip_strerror(m_archive)));
    return zip_file_set_external_attributes(
               m_archive, zip_uint64_t(index), 0, ZIP_OPSYS_UNIX,
               zip_uint32_t(UnixMode::folder | UnixMode::fromPermissions(permissions)) << 16) ==
               0 ||
           warnAndFail(QString::fromUtf8(zip_strerror(m_archive)));
}

bool Writer::close()
{
    if (!m_archive)
        return warnAndFail(QStringLiteral("Archive not open"));
    if (zip_close(m_archive) != 0) {
        const QString text = QString::fromUtf8(zip_strerror(m_archive));
        zip_discard(m_archive);
        m_archive = nullptr;
        return warnAndFail(QStringLiteral("Can not write \"%1\": %2").arg(m_path, text));
    }
    m_archive = nullptr;
    m_buffers.clear();
    return true;
}

namespace {

void put16(QByteArray &out, quint32 value)
{
    out.append(char(value & 0xff)).append(char((value >> 8) & 0xff));
}

void put32(QByteArray &out, quint32 value)
{
    put16(out, value & 0xffff);
    put16(out, value >> 16);
}

// The time and date fields of a ZIP header, in the local time that ZIP tools show.
QPair<quint32, quint32> dosTime(const QDateTime &local)
{
    const QDate date = local.date();
    const QTime time = local.time();
    if (date.year() < 1980)
        return {0, (1 << 5) | 1};
    return {quint32((time.hour() << 11) | (time.minute() << 5) | (time.second() / 2)),
            quint32(((date.year() - 1980) << 9) | (date.month() << 5) | date.day())};
}

// The fields that the local and the central header share, from "version needed" on.
QByteArray commonFields(quint16 method, QPair<quint32, quint32> when, quint32 crc,
                        quint32 compressed, quint32 size, const QByteArray &name)
{
    QByteArray out;
    put16(out, 20); // version needed: deflate
    put16(out, 0);  // flags
    put16(out, method);
    put16(out, when.first);
    put16(out, when.second);
    put32(out, crc);
    put32(out, compressed);
    put32(out, size);
    put16(out, quint16(name.size()));
    put16(out, 0); // extra field
    return out;
}

constexpr quint16 stored = 0;
constexpr quint16 deflated = 8;
constexpr qint64 chunk = 1 << 20;

} // namespace

bool Writer::writeOneFile(const QString &entryName, const QString &sourcePath,
                          QFileDevice::Permissions permissions)
{
    clearError();
    const QString &archivePath = m_path;
    QFile source(sourcePath);
    if (!source.open(QIODevice::ReadOnly) || QFileInfo(sourcePath).isDir())
        return failBecause(QStringLiteral("Can not read \"%1\": %2")
                               .arg(sourcePath, source.isOpen() ? QStringLiteral("a folder")
                                                                : source.errorString()));
    const qint64 size = source.size();
    if (size >= 0xFFFFFFFFLL) {
        return open() && addFile(entryName, sourcePath, permissions) && close();
    }
    QFile archive(archivePath);
    if (!archive.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return failBecause(
            QStringLiteral("Can not create \"%1\": %2").arg(archivePath, archive.errorString()));
    auto failed = [&](const QString &text) {
        archive.close();
        QFile::remove(archivePath);
        return failBecause(text);
    };
    const QByteArray name = entryName.toUtf8();
    const quint16 method = size < 64 ? stored : deflated;
    const auto when = dosTime(QFileInfo(sourcePath).lastModified());
    QByteArray local;
    put32(local, 0x04034b50);
    local += commonFields(method, when, 0, 0, quint32(size), name) + name;
    if (archive.write(local) != local.size())
        return failed(archive.errorString());

    isal_zstream stream;
    isal_deflate_init(&stream);
    QByteArray levelBuffer(ISAL_DEF_LVL1_DEFAULT, Qt::Uninitialized);
    stream.level = 1;
    stream.level_buf = reinterpret_cast<uint8_t *>(levelBuffer.data());
    stream.level_buf_size = quint32(levelBuffer.size());
    stream.gzip_flag = IGZIP_DEFLATE;
    stream.flush = NO_FLUSH;
    QByteArray in(chunk, Qt::Uninitialized);
    QByteArray out(chunk + 64 * 1024, Qt::Uninitialized);
    quint32 crc = 0;
    qint64 read = 0;
    qint64 written = 0;
    for (bool last = false; !last;) {
        const qint64 n = source.read(in.data(), chunk);
        if (n < 0)
            return failed(
                QStringLiteral("Can not read \"%1\": %2").arg(sourcePath, source.errorString()));
        read += n;
        last = n == 0 || read >= size;
        crc = crc32_gzip_refl(crc, reinterpret_cast<const uint8_t *>(in.constData()), quint64(n));
        if (method == stored) {
            if (archive.write(in.constData(), n) != n)
                return failed(archive.errorString());
            written += n;
            continue;
        }
        stream.next_in = reinterpret_cast<uint8_t *>(in.data());
        stream.avail_in = quint32(n);
        stream.end_of_stream = last ? 1 : 0;
        do {
            stream.next_out = reinterpret_cast<uint8_t *>(out.data());
            stream.avail_out = quint32(out.size());
            if (isal_deflate(&stream) != COMP_OK)
                return failed(QStringLiteral("Can not compress \"%1\"").arg(sourcePath));
            const qint64 produced = out.size() - qint64(stream.avail_out);
            if (archive.write(out.constData(), produced) != produced)
                return failed(archive.errorString());
            written += produced;
        } while (stream.avail_in > 0 || (last && stream.internal_state.state != ZSTATE_END));
    }
    // The file is held by nobody else while it is read; one that changed size is no copy of it.
    if (read != size || written >= 0xFFFFFFFFLL)
        return failed(QStringLiteral("\"%1\" changed while it was read").arg(sourcePath));

    const QByteArray fields =
        commonFields(method, when, crc, quint32(written), quint32(size), name);
    QByteArray central;
    put32(central, 0x02014b50);
    put16(central, (3 << 8) | 20); // made by: Unix, 2.0
    central += fields;
    put16(central, 0); // comment
    put16(central, 0); // disk
    put16(central, 0); // internal attributes
    put32(central, (UnixMode::regularFile | UnixMode::fromPermissions(permissions)) << 16);
    put32(central, 0); // offset of the local header
    central += name;
    QByteArray end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, 1);
    put16(end, 1);
    put32(end, quint32(central.size()));
    put32(end, quint32(local.size() + written));
    put16(end, 0);
    if (archive.write(central + end) != central.size() + end.size() || !archive.seek(14) ||
        archive.write(fields.mid(10, 12)) != 12 || !archive.flush())
        return failed(archive.errorString());
    archive.close();
    if (archive.error() != QFileDevice::NoError)
        return failed(archive.errorString());
    return true;
}

} // namespace Zip
