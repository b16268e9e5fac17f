#include "tools/zipwriter/zipwriter.h"

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

} // namespace Zip
