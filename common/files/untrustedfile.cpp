#include "common/files/untrustedfile.h"

#include <QFile>

bool UntrustedFile::refuse(bool absent, bool refused, const QString &why)
{
    m_absent = absent;
    m_refused = refused;
    m_file.reset();
    m_data.clear();
    return failBecause(why);
}

bool UntrustedFile::open(Platform::Folder &folder, const QString &name, bool followLink)
{
    using Failure = Platform::Folder::OpenFailure;
    clearError();
    m_absent = m_refused = false;
    m_data.clear();
    Failure failure = Failure::None;
    Platform::File taken = folder.openForReading(name, followLink, &failure);
    if (!taken.isOpen())
        return refuse(failure == Failure::Absent, failure == Failure::NotRegular,
                      folder.errorString());
    auto opened = std::make_shared<QFile>();
    const int fd = taken.release();
    if (!opened->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        Platform::File(fd).close();
        return refuse(false, false, opened->errorString());
    }
    m_file = std::move(opened);
    return true;
}

bool UntrustedFile::read(Platform::Folder &folder, const QString &name, bool followLink,
                         qint64 maxBytes)
{
    if (!open(folder, name, followLink))
        return false;
    // One byte more than allowed tells a file that grew past the limit after a look at its size.
    const QByteArray data = m_file->read(maxBytes + 1);
    if (m_file->error() != QFileDevice::NoError)
        return refuse(false, false, m_file->errorString());
    if (data.size() > maxBytes)
        return refuse(false, true, QStringLiteral("is larger than %1 bytes").arg(maxBytes));
    m_data = data;
    m_file.reset();
    return true;
}
