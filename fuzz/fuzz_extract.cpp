// Unpacks arbitrary bytes as a package into a target folder deep inside a sandbox, and aborts
// when anything outside the target changed or when a link inside it leads out of it.
//
//   <root>/package.zip                 this run's input
//   <root>/beside.txt                  a file beside the installation
//   <root>/install/config.ini          the installation's own files
//   <root>/install/sibling/data.txt    a folder beside the updater's
//   <root>/install/update/target/      where the package is unpacked, emptied after each run
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include "common/files/platform.h"
#include "common/zip/zipextract.h"

namespace {

QString root;
QString target;
QString package;
std::map<QString, QByteArray> before;

[[noreturn]] void fail(const QString &what)
{
    std::fprintf(stderr, "fuzz-extract: %s\n", qPrintable(what));
    std::abort();
}

QByteArray linkTarget(const QString &path)
{
    QByteArray buffer(4096, '\0');
    const ssize_t n =
        ::readlink(QFile::encodeName(path).constData(), buffer.data(), size_t(buffer.size()));
    return n < 0 ? QByteArray() : buffer.left(n);
}

// Everything below folder except the target's subtree and the input, as path -> what it is.
// Links are described, never followed.
void describe(const QString &folder, std::map<QString, QByteArray> *out)
{
    const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                     QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString path = folder + QLatin1Char('/') + name;
        if (path == target || path == package)
            continue;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        QByteArray what = QByteArray::number(st.st_mode, 8) + ' ';
        if (S_ISLNK(st.st_mode)) {
            what += "link " + linkTarget(path);
        } else if (S_ISREG(st.st_mode)) {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            what += "file " +
                    QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha1).toHex();
        } else if (S_ISDIR(st.st_mode)) {
            what += "folder";
            describe(path, out);
        }
        (*out)[path.mid(root.size())] = what;
    }
}

// Where a path leads, asked of the system rather than worked out here (the extraction has its
// own rules for that, and a fault shared by both would go unseen): the canonical path of what
// exists, with a link that dangles followed to where it points. Empty for a loop, which leads
// nowhere.
std::filesystem::path leadsTo(std::filesystem::path path)
{
    std::error_code ec;
    for (int hops = 0; hops <= 40; ++hops) {
        const std::filesystem::path lands = std::filesystem::weakly_canonical(path, ec);
        if (ec)
            return {};
        if (std::filesystem::exists(lands, ec) ||
            !std::filesystem::is_symlink(std::filesystem::symlink_status(lands, ec)))
            return lands;
        const std::filesystem::path to = std::filesystem::read_symlink(lands, ec);
        if (ec)
            return {};
        path = to.is_absolute() ? to : lands.parent_path() / to;
    }
    return {};
}

// Everything the package left in the target, links included, must lead to a place inside it.
void checkLandings()
{
    const std::filesystem::path inside = target.toStdString();
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(inside, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::filesystem::path lands = leadsTo(it->path());
        if (lands.empty())
            continue;
        const auto rest = lands.lexically_relative(inside);
        if (rest.empty() || *rest.begin() == "..")
            fail(QStringLiteral("%1 leads to %2, outside the target")
                     .arg(QString::fromStdString(it->path().string()),
                          QString::fromStdString(lands.string())));
    }
}

void makeFile(const QString &path, const QByteArray &data)
{
    QDir().mkpath(path.left(path.lastIndexOf(QLatin1Char('/'))));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        fail(QStringLiteral("can not set up %1").arg(path));
}

// Folders unpacked without write or search permission must still go.
void emptyTarget()
{
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(target.toStdString(), ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec))
            ::chmod(it->path().c_str(), 0700);
    }
    std::filesystem::remove_all(target.toStdString(), ec);
    if (ec || !QDir().mkpath(target))
        fail(QStringLiteral("can not empty %1").arg(target));
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QLoggingCategory::setFilterRules(QStringLiteral("kestrelix.*.debug=false"));
    QByteArray pattern = QFile::encodeName(QDir::tempPath() + "/kx-fuzz-extract.XXXXXX");
    if (!::mkdtemp(pattern.data()))
        fail(QStringLiteral("can not make a sandbox"));
    ::umask(022);
    root = QDir(QFile::decodeName(pattern)).canonicalPath();
    target = root + QStringLiteral("/install/update/target");
    package = root + QStringLiteral("/package.zip");
    makeFile(root + QStringLiteral("/beside.txt"), "beside the installation\n");
    makeFile(root + QStringLiteral("/install/config.ini"), "[UpdateInfo]\nmain=2020-01-01\n");
    makeFile(root + QStringLiteral("/install/sibling/data.txt"), "a folder beside\n");
    QDir().mkpath(target);
    describe(root, &before);
    std::atexit([] { std::filesystem::remove_all(root.toStdString()); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    QFile input(package);
    if (!input.open(QIODevice::WriteOnly) ||
        input.write(reinterpret_cast<const char *>(data), qint64(size)) != qint64(size))
        fail(QStringLiteral("can not write %1").arg(package));
    input.close();

    Platform::Folder folder;
    QFile archive(package);
    if (!folder.open(target) || !archive.open(QIODevice::ReadOnly))
        fail(QStringLiteral("can not open %1 or %2").arg(target, package));
    Zip::Extractor extractor(folder);
    // Refused or unpacked, nothing may have landed outside the target.
    const bool unpacked = extractor.extractAll(archive, package);
    Q_UNUSED(unpacked);

    std::map<QString, QByteArray> after;
    describe(root, &after);
    if (after != before) {
        for (const auto &[path, what] : after)
            if (before.count(path) == 0 || before.at(path) != what)
                std::fprintf(stderr, "changed: %s %s\n", qPrintable(path), what.constData());
        for (const auto &[path, what] : before)
            if (after.count(path) == 0)
                std::fprintf(stderr, "gone: %s\n", qPrintable(path));
        fail(QStringLiteral("the package changed something outside %1 (%2)")
                 .arg(target, extractor.errorString()));
    }
    checkLandings();
    emptyTarget();
    return 0;
}
