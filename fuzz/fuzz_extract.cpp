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
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QString>
#include <QStringList>

#include "common/zipextract.h"

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

// Where the system lands for an absolute path, following every link on the way, the way a later
// open() or mkdir() would. Parts that do not exist are taken as they are.
QString landing(const QString &path, bool *loops)
{
    QStringList pending = path.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    QString current;
    int hops = 0;
    while (!pending.isEmpty()) {
        const QString part = pending.takeFirst();
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            current.truncate(qMax(0, current.lastIndexOf(QLatin1Char('/'))));
            continue;
        }
        const QString next = current + QLatin1Char('/') + part;
        struct stat st;
        if (::lstat(QFile::encodeName(next).constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
            if (++hops > 40) { // the system gives up as well (ELOOP)
                *loops = true;
                return QString();
            }
            const QString to = QFile::decodeName(linkTarget(next));
            pending = to.split(QLatin1Char('/'), Qt::SkipEmptyParts) + pending;
            if (to.startsWith(QLatin1Char('/')))
                current.clear();
            continue;
        }
        current = next;
    }
    return current.isEmpty() ? QStringLiteral("/") : current;
}

// Every link that the package left in the target must lead to a place inside it.
void checkLinks(const QString &folder)
{
    const QStringList names = QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                     QDir::Hidden | QDir::System);
    for (const QString &name : names) {
        const QString path = folder + QLatin1Char('/') + name;
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            bool loops = false;
            const QString to = landing(path, &loops);
            if (!loops && to != target && !to.startsWith(target + QLatin1Char('/')))
                fail(QStringLiteral("link %1 -> %2 leads to %3, outside the target")
                         .arg(path, QFile::decodeName(linkTarget(path)), to));
        } else if (S_ISDIR(st.st_mode)) {
            checkLinks(path);
        }
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

    QString error;
    Zip::extractAll(package, target, &error);

    std::map<QString, QByteArray> after;
    describe(root, &after);
    if (after != before) {
        for (const auto &[path, what] : after)
            if (before.count(path) == 0 || before.at(path) != what)
                std::fprintf(stderr, "changed: %s %s\n", qPrintable(path), what.constData());
        for (const auto &[path, what] : before)
            if (after.count(path) == 0)
                std::fprintf(stderr, "gone: %s\n", qPrintable(path));
        fail(QStringLiteral("the package changed something outside %1 (%2)").arg(target, error));
    }
    checkLinks(target);
    emptyTarget();
    return 0;
}
