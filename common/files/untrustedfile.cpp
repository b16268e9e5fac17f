#include "common/files/untrustedfile.h"

#include <QFile>

UntrustedFile::Outcome UntrustedFile::refuse(Outcome outcome, const QString &why)
{
    failBecause(why);
    m_file.reset();
    m_data.clear();
    return outcome;
}

UntrustedFile::Outcome UntrustedFile::open(Platform::Folder &folder, const QString &name,
                                           bool followLink)
{
    using Failure = Platform::Folder::OpenFailure;
    clearError();
    m_data.clear();
    Failure failure = Failure::None;
    Platform::File taken = folder.openForReading(name, followLink, &failure);
    if (!taken.isOpen())
        return refuse(failure == Failure::Absent       ? Outcome::Absent
                      : failure == Failure::Unreadable ? Outcome::Unreadable
                                                       : Outcome::Refused,
                      folder.errorString());
    auto opened = std::make_shared<QFile>();
    const int fd = taken.release();
    if (!opened->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        Platform::File(fd).close();
        return refuse(Outcome::Unreadable, opened->errorString());
    }
    m_file = std::move(opened);
    return Outcome::Taken;
}

UntrustedFile::Outcome UntrustedFile::read(Platform::Folder &folder, const QString &name,
                                           bool followLink, qint64 maxBytes)
{
    const Outcome outcome = open(folder, name, followLink);
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
