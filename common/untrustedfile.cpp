#include "common/untrustedfile.h"

#include <QFile>

#include "common/platform.h"

namespace UntrustedFile {

Outcome open(const QString &path, std::shared_ptr<QFile> *file, QString *why)
{
    Platform::OpenFailure failure = Platform::OpenFailure::None;
    const int fd = Platform::openRegularForReading(path, &failure, why);
    if (fd < 0)
        return failure == Platform::OpenFailure::Absent       ? Outcome::Absent
               : failure == Platform::OpenFailure::Unreadable ? Outcome::Unreadable
                                                              : Outcome::Refused;
    auto opened = std::make_shared<QFile>();
    if (!opened->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        Platform::closeDescriptor(fd);
        *why = opened->errorString();
        return Outcome::Unreadable;
    }
    *file = std::move(opened);
    return Outcome::Taken;
}

Outcome read(const QString &path, qint64 maxBytes, QByteArray *data, QString *why)
{
    std::shared_ptr<QFile> file;
    const Outcome outcome = open(path, &file, why);
    if (outcome != Outcome::Taken)
        return outcome;
    // One byte more than allowed tells a file that grew past the limit after a look at its size.
    *data = file->read(maxBytes + 1);
    if (file->error() != QFileDevice::NoError) {
        *why = file->errorString();
        return Outcome::Unreadable;
    }
    if (data->size() > maxBytes) {
        data->clear();
        *why = QStringLiteral("is larger than %1 bytes").arg(maxBytes);
        return Outcome::Refused;
    }
    return Outcome::Taken;
}

} // namespace UntrustedFile
