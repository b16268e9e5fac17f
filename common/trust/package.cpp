#include "common/trust/package.h"

#include <QFile>

Package Package::absent(const QString &path)
{
    Package package;
    package.m_path = path;
    return package;
}

Package Package::refused(const QString &path, const QString &why)
{
    Package package = absent(path);
    package.m_state = State::Refused;
    package.failBecause(why);
    return package;
}

Package Package::opened(const QString &path, std::shared_ptr<QFile> file)
{
    Package package = absent(path);
    package.m_state = State::Open;
    package.m_file = std::move(file);
    return package;
}
