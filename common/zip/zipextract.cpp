#include "common/zip/zipextract.h"

#include <algorithm>
#include <map>
#include <memory>

#include <QFile>
#include <QFileInfo>

#include <zip.h>

#include "common/diagnostics/checkpoint.h"
#include "common/files/filereplace.h"
#include "common/logging.h"

namespace Zip {

namespace {

constexpr qint64 chunkSize = 256 * 1024;
constexpr quint32 defaultFolderMode = 0755;
constexpr std::size_t maxOpenFolders = 256;
// Packages of more files than this are put on the disk with one sync of the file system.
constexpr int syncEachBelow = 64;

struct ArchiveCloser
{
    void operator()(zip_t *archive) const { zip_discard(archive); }
};
using ArchivePtr = std::unique_ptr<zip_t, ArchiveCloser>;

struct EntryCloser
{
    void operator()(zip_file_t *file) const { zip_fclose(file); }
};
using EntryPtr = std::unique_ptr<zip_file_t, EntryCloser>;

// Why libzip can not give an entry's data, in words a support log can use.
QString unreadable(zip_t *archive, const Entry &entry)
{
    switch (zip_error_code_zip(zip_get_error(archive))) {
    case ZIP_ER_NOPASSWD:
    case ZIP_ER_WRONGPASSWD:
    case ZIP_ER_ENCRNOTSUPP:
        return QStringLiteral("entry \"%1\" is encrypted").arg(entry.name);
    case ZIP_ER_COMPNOTSUPP:
        return QStringLiteral("entry \"%1\" is compressed with a method this updater can not "
                              "read")
            .arg(entry.name);
    default:
        return QStringLiteral("Can not read entry \"%1\": %2")
            .arg(entry.name, QString::fromUtf8(zip_strerror(archive)));
    }
}

QString parentOf(const QString &relative)
{
    const qsizetype slash = relative.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? QString() : relative.left(slash);
}

QString nameOf(const QString &relative)
{
    return relative.mid(relative.lastIndexOf(QLatin1Char('/')) + 1);
}

QString stagedName(int n)
{
    return QString::number(n);
}

QString stagedLinkName(int n)
{
    return QStringLiteral("link-") + QString::number(n);
}

} // namespace

// What the installation of one package has made so far, so that a package refused part-way
// takes all of it away again.
struct Extractor::Made
{
    // Every folder opened, by its path relative to the target ("" is the target itself).
    std::map<QString, std::unique_ptr<Platform::Folder>> folders;
    QStringList newFolders;                              // in the order they were made
    std::vector<std::pair<QString, QString>> newEntries; // folder and name of what stood nowhere
    QStringList touched;                                 // folders whose entries changed
};

// The folder at relative, reached from the target one name at a time and never through a link,
// made with permissions when it is missing.
Platform::Folder *Extractor::folderAt(const QString &relative, quint32 permissions, Made &made)
{
    const auto known = made.folders.find(relative);
    if (known != made.folders.end())
        return known->second.get();
    // A package of thousands of folders must not hold thousands of descriptors: the folders are
    // let go now and then and reached again from the target when needed.
    if (made.folders.size() >= maxOpenFolders)
        made.folders.clear();
    auto folder = std::make_unique<Platform::Folder>();
    bool madeHere = false;
    if (relative.isEmpty()) {
        if (!folder->openSame(m_target)) {
            failBecause(folder->errorString());
            return nullptr;
        }
    } else {
        Platform::Folder *parent = folderAt(parentOf(relative), defaultFolderMode, made);
        if (!parent)
            return nullptr;
        const QString name = nameOf(relative);
        if (!parent->infoOf(name).exists()) {
            if (!parent->makeFolder(name, permissions) ||
                !parent->takeOwner(name, parent->info())) {
                failBecause(QStringLiteral("Can not create folder \"%1\": %2")
                                .arg(relative, parent->errorString()));
                return nullptr;
            }
            made.newFolders << relative;
            made.touched << parentOf(relative);
            madeHere = true;
        }
        if (!folder->openIn(*parent, name)) {
            failBecause(QStringLiteral("Can not enter folder \"%1\": %2")
                            .arg(relative, folder->errorString()));
            return nullptr;
        }
    }
    // Run as root, a folder that others can write is theirs to lead elsewhere at any moment; one
    // made here is reached through its descriptor alone.
    if (!madeHere && Platform::isPrivileged() && folder->othersMayWrite()) {
        failBecause(QStringLiteral("the folder \"%1\" can be written by other accounts")
                        .arg(relative.isEmpty() ? m_target.path() : relative));
        return nullptr;
    }
    Platform::Folder *opened = folder.get();
    made.folders.emplace(relative, std::move(folder));
    return opened;
}

void Extractor::undo(Made &made)
{
    for (auto it = made.newEntries.crbegin(); it != made.newEntries.crend(); ++it)
        if (Platform::Folder *folder = folderAt(it->first, defaultFolderMode, made))
            folder->remove(it->second);
    for (auto it = made.newFolders.crbegin(); it != made.newFolders.crend(); ++it) {
        made.folders.erase(*it);
        if (Platform::Folder *parent = folderAt(parentOf(*it), defaultFolderMode, made))
            parent->removeEmptyFolder(nameOf(*it));
    }
}

// The data of one file entry, decompressed and checked, in a new file of the scratch folder.
bool Extractor::stageFile(zip_t *archive, const Entry &entry, Platform::Folder &scratch,
                          const QString &staged)
{
    Platform::File out = scratch.createFile(staged, entry.mode);
    if (!out.isOpen())
        return failBecause(
            QStringLiteral("Can not stage \"%1\": %2").arg(entry.name, scratch.errorString()));
    EntryPtr file(zip_fopen_index(archive, entry.index, 0));
    if (!file)
        return failBecause(unreadable(archive, entry));
    QByteArray buffer(chunkSize, Qt::Uninitialized);
    qint64 written = 0;
    for (;;) {
        const zip_int64_t n = zip_fread(file.get(), buffer.data(), chunkSize);
        if (n < 0)
            return failBecause(
                QStringLiteral("Damaged entry \"%1\": %2")
                    .arg(entry.name, QString::fromUtf8(zip_file_strerror(file.get()))));
        if (n == 0)
            break;
        // The free space was checked against the declared sizes, and the reader does not hold
        // an entry to its declared size: a few bytes that claim ten may inflate to gigabytes.
        written += n;
        if (written > entry.size)
            return failBecause(QStringLiteral("Damaged entry \"%1\": more data than the "
                                              "%2 bytes declared")
                                   .arg(entry.name)
                                   .arg(entry.size));
        if (!out.write(buffer.constData(), n))
            return failBecause(
                QStringLiteral("Can not stage \"%1\": %2").arg(entry.name, out.errorString()));
        m_staged += n;
        if (m_progress)
            m_progress(qMin(m_staged, m_toStage), m_toStage);
    }
    // A few files are put on the disk one by one: waiting for the whole file system would wait
    // for whatever else is being written to it.
    if (m_durability == Durability::Synced && m_filesToStage <= syncEachBelow && !out.sync())
        return failBecause(QStringLiteral("Can not put \"%1\" on the disk: %2")
                               .arg(entry.name, out.errorString()));
    return true;
}

// The second phase: every file is staged and on the disk. First the folders are made and every
// link is made in the scratch folder (what may still run out of room), then links and files are
// renamed into place, and each folder that changed is synced once.
bool Extractor::install(const std::vector<Entry> &entries, ScratchFolder &scratch, Made &made)
{
    Platform::Folder &staging = scratch.folder();
    for (const Entry &entry : entries) {
        if (!folderAt(entry.folder, entry.kind == Kind::Folder ? entry.mode : defaultFolderMode,
                      made))
            return false;
    }
    struct Move
    {
        QString staged;
        const Entry *entry;
    };
    std::vector<Move> moves;
    int links = 0;
    int files = 0;
    for (const Entry &entry : entries) {
        if (entry.kind == Kind::Folder)
            continue;
        Platform::Folder *folder = folderAt(entry.folder, defaultFolderMode, made);
        if (!folder)
            return false;
        if (entry.kind == Kind::Link) {
            const QString staged = stagedLinkName(links++);
            if (!staging.makeLink(staged, entry.linkTarget) ||
                !staging.takeOwner(staged, folder->info()))
                return failBecause(QStringLiteral("Can not make link \"%1\": %2")
                                       .arg(entry.name, staging.errorString()));
            moves.push_back({staged, &entry});
        } else {
            // A file that is replaced keeps its owner, group and mode; a new one has the
            // package's mode and the owner of its folder.
            const QString staged = stagedName(files++);
            const Platform::FileInfo old = folder->infoOf(entry.leaf);
            const bool taken = old.isFile() ? staging.takeOwner(staged, old) &&
                                                  staging.setPermissions(staged, old.permissions)
                                            : staging.takeOwner(staged, folder->info());
            if (!taken)
                return failBecause(QStringLiteral("Can not install \"%1\": %2")
                                       .arg(entry.name, staging.errorString()));
            moves.push_back({staged, &entry});
        }
    }
    // Links first, so that files are installed last, in the package's order.
    std::stable_sort(moves.begin(), moves.end(), [](const Move &a, const Move &b) {
        return a.entry->kind == Kind::Link && b.entry->kind != Kind::Link;
    });
    for (const Move &move : moves) {
        const Entry &entry = *move.entry;
        Platform::Folder *folder = folderAt(entry.folder, defaultFolderMode, made);
        if (!folder)
            return false;
        const bool stoodNowhere = !folder->infoOf(entry.leaf).exists();
        if (!staging.rename(move.staged, *folder, entry.leaf))
            return failBecause(QStringLiteral("Can not install \"%1\": %2")
                                   .arg(entry.name, staging.errorString()));
        if (stoodNowhere)
            made.newEntries.emplace_back(entry.folder, entry.leaf);
        made.touched << entry.folder;
        if (entry.kind == Kind::File) {
            m_written.append(entry.name);
            if (!entry.packageName.isEmpty())
                m_installedAs.append(entry.packageName);
        }
    }
    made.touched.removeDuplicates();
    if (m_durability == Durability::Synced) {
        for (const QString &relative : std::as_const(made.touched))
            if (Platform::Folder *folder = folderAt(relative, defaultFolderMode, made))
                folder->sync();
    }
    return true;
}

bool Extractor::extractAll(QFile &archiveFile, const QString &archiveName)
{
    clearError();
    m_written.clear();
    m_installedAs.clear();
    // The reader gets a descriptor of its own on the file already open, never the name again:
    // what was checked through this file is what is unpacked.
    Platform::File source(archiveFile.handle());
    const int fd = source.duplicateFromStart();
    source.release();
    if (fd < 0)
        return failBecause(QStringLiteral("Can not read \"%1\"").arg(archiveName));
    int openError = 0;
    ArchivePtr archive(zip_fdopen(fd, ZIP_RDONLY, &openError));
    if (!archive) {
        Platform::File(fd).close();
        return failBecause(QStringLiteral("%1 is damaged or not a ZIP archive").arg(archiveName));
    }
    const QString canonicalTarget = m_target.canonicalPath();
    if (canonicalTarget.isEmpty())
        return failBecause(QStringLiteral("No folder \"%1\"").arg(m_target.path()));
    EntryCheck check(canonicalTarget);
    for (auto it = m_renamed.cbegin(); it != m_renamed.cend(); ++it)
        check.renameEntry(it.key(), it.value());
    if (!check.check(archive.get(), archiveName))
        return failBecause(check.errorString());
    return write(archive.get(), check.entries(), archiveName);
}

bool Extractor::write(zip_t *archive, const std::vector<Entry> &entries, const QString &archiveName)
{
    // First every file, decompressed and checked, in the scratch folder: a package that fails
    // here leaves the installation exactly as it was.
    ScratchFolder scratch;
    if (!scratch.open(m_target, true))
        return failBecause(QStringLiteral("Can not make the scratch folder in \"%1\": %2")
                               .arg(m_target.path(), scratch.errorString()));
    struct Cleanup
    {
        ScratchFolder &scratch;
        ~Cleanup() { scratch.removeAll(); }
    } cleanup{scratch};
    m_staged = 0;
    m_toStage = 0;
    m_filesToStage = 0;
    for (const Entry &entry : entries) {
        if (entry.kind == Kind::File) {
            m_toStage += entry.size;
            ++m_filesToStage;
        }
    }
    int n = 0;
    for (const Entry &entry : entries) {
        if (entry.kind == Kind::File &&
            !stageFile(archive, entry, scratch.folder(), stagedName(n++)))
            return false;
    }
    // Then all of it on the disk at once, before any file takes its place.
    if (m_durability == Durability::Synced && n > syncEachBelow &&
        !scratch.folder().syncFileSystem())
        return failBecause(QStringLiteral("Can not put the files of %1 on the disk: %2")
                               .arg(archiveName, scratch.folder().errorString()));
    Checkpoint::reach(QStringLiteral("package staged: ") + archiveName);
    Made made;
    if (install(entries, scratch, made))
        return true;
    const QString why = errorString();
    undo(made);
    return failBecause(why);
}

} // namespace Zip
