#include "common/files/platform.h"

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

} // namespace Platform
