#include "common/zip/namerules.h"

#include <filesystem>
#include <system_error>

#include <QFile>
#include <QStringList>

#ifdef Q_OS_WIN
#include "common/files/windowsnames.h"
#endif

namespace Zip::NameRules {

qsizetype lengthOf(const QString &name)
{
#ifdef Q_OS_WIN
    return name.size();
#else
    return QFile::encodeName(name).size();
#endif
}

QString sameNameKey(const QString &name)
{
#ifdef Q_OS_WIN
    return name.toCaseFolded();
#else
    return name;
#endif
}

QString linkOnDisk(const QString &path)
{
#ifdef Q_OS_WIN
    // Wide names: the 8-bit ones would be the ANSI code page's.
    const std::filesystem::path native(path.toStdWString());
#else
    const std::filesystem::path native(QFile::encodeName(path).toStdString());
#endif
    std::error_code ec;
    if (!std::filesystem::is_symlink(std::filesystem::symlink_status(native, ec)))
        return QString();
    const std::filesystem::path target = std::filesystem::read_symlink(native, ec);
#ifdef Q_OS_WIN
    return ec ? QString() : QString::fromStdWString(target.wstring());
#else
    return ec ? QString() : QFile::decodeName(QByteArray::fromStdString(target.string()));
#endif
}

#ifdef Q_OS_WIN
QString refusedOnWindows(const Entry &entry)
{
    if (entry.kind == Kind::Link)
        return QStringLiteral("entry \"%1\" is a link, which the updater does not make on Windows")
            .arg(entry.name);
    for (const QString &part : entry.name.split(QLatin1Char('/'))) {
        const QString problem = WindowsNames::problemOf(part);
        if (!problem.isEmpty())
            return QStringLiteral("entry \"%1\": the name \"%2\" %3 on Windows")
                .arg(entry.name, part, problem);
    }
    return QString();
}
#endif

} // namespace Zip::NameRules
