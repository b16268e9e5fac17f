#include "common/filereplace.h"

#include <filesystem>
#include <system_error>

#include <unistd.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

namespace FileReplace {

namespace {

void setError(QString *error, const QString &text)
{
    if (error)
        *error = text;
}

} // namespace

bool renameOver(const QString &source, const QString &target, QString *error)
{
    std::error_code ec;
    std::filesystem::rename(std::filesystem::path(QFile::encodeName(source).toStdString()),
                            std::filesystem::path(QFile::encodeName(target).toStdString()), ec);
    if (ec) {
        setError(error, QString::fromStdString(ec.message()));
        return false;
    }
    return true;
}

bool copyOver(const QString &source, const QString &target, bool *renameFailed, QString *error)
{
    if (renameFailed)
        *renameFailed = false;

    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        setError(error, in.errorString());
        return false;
    }

    const QFileInfo targetInfo(target);
    QTemporaryFile out(targetInfo.absolutePath() + QStringLiteral("/.") + targetInfo.fileName() +
                       QStringLiteral(".XXXXXX"));
    if (!out.open()) {
        setError(error, out.errorString());
        return false;
    }

    constexpr qint64 chunkSize = 1 << 20;
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    for (;;) {
        const qint64 n = in.read(buffer.data(), chunkSize);
        if (n < 0) {
            setError(error, in.errorString());
            return false;
        }
        if (n == 0)
            break;
        if (out.write(buffer.constData(), n) != n) {
            setError(error, out.errorString());
            return false;
        }
    }
    if (!out.flush() || ::fsync(out.handle()) != 0) {
        setError(error, out.errorString());
        return false;
    }
    out.setPermissions(in.permissions());
    out.close();

    if (!renameOver(out.fileName(), target, error)) {
        if (renameFailed)
            *renameFailed = true;
        return false;
    }
    out.setAutoRemove(false);
    return true;
}

} // namespace FileReplace
