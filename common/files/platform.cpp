#include "common/files/platform.h"

#include <QRandomGenerator>

// What File is on every system: the descriptor it owns, handed on by a move and closed when it
// goes. Opening, reading, writing and closing are the system's own (platform_posix.cpp,
// platform_windows.cpp).
namespace Platform {

File::~File()
{
    close();
}

File::File(File &&other) noexcept : ErrorString(other), m_descriptor(other.release()) {}

File &File::operator=(File &&other) noexcept
{
    if (this != &other) {
        close();
        ErrorString::operator=(other);
        m_descriptor = other.release();
    }
    return *this;
}

int File::release()
{
    const int fd = m_descriptor;
    m_descriptor = -1;
    return fd;
}

QString Folder::withRandomSuffix(const QString &prefix)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    QString name = prefix;
    for (int i = 0; i < 6; ++i)
        name += QLatin1Char(letters[QRandomGenerator::system()->bounded(36)]);
    return name;
}

} // namespace Platform
