#include "common/files/untrustedfile.h"

#include <QFile>

#include "common/files/platform.h"

UntrustedFile::Outcome UntrustedFile::refuse(Outcome outcome, const QString &why)
{
    failBecause(why);
    m_file.reset();
    m_data.clear();
    return outcome;
}

UntrustedFile::Outcome UntrustedFile::open(const QString &path)
{
    clearError();
    m_data.clear();
    Platform::OpenFailure failure = Platform::OpenFailure::None;
    const int fd = Platform::openRegularForReading(path, &failure);
    if (fd < 0)
        return refuse(failure == Platform::OpenFailure::Absent       ? Outcome::Absent
                      : failure == Platform::OpenFailure::Unreadable ? Outcome::Unreadable
                                                                     : Outcome::Refused,
                      Platform::errorString());
    auto opened = std::make_shared<QFile>();
    if (!opened->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        Platform::closeDescriptor(fd);
        return refuse(Outcome::Unreadable, opened->errorString());
    }
    m_file = std::move(opened);
    return Outcome::Taken;
}

UntrustedFile::Outcome UntrustedFile::read(const QString &path, qint64 maxBytes)
{
    const Outcome outcome = open(path);
    if (outcome != Outcome::Taken)
        return outcome;
    // One byte more than allowed tells a file that grew past the limit after a look at its size.
    const QByteArray data = m_file->read(maxBytes + 1);
    if (m_file->error() != QFileDevice::NoError)
        return refuse(Outcome::Unreadable, m_file->errorString());
    if (data.size() > maxBytes)
        return refuse(Outcome::Refused, QStringLiteral("is larger than %1 bytes").arg(maxBytes));
    m_data = data;
    m_file.reset();
    return Outcome::Taken;
}
