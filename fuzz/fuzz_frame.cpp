// Feeds arbitrary bytes to the upload server as one connection's data: the frame reader, then,
// for a complete frame, decompressing, parsing and storing, with the server's default limits.
// The same bytes arriving in small pieces must be judged as when they arrive at once.
// scripts/fuzz.sh runs it with a malloc limit, so that a size taken on trust shows up.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include "tools/upload-server/framereader.h"
#include "tools/upload-server/serveroptions.h"
#include "tools/upload-server/uploadstore.h"

namespace {

QTemporaryDir *store = nullptr;

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "fuzz-frame: %s\n", what);
    std::abort();
}

// Pieces of 1, 2, 3, 5, 8 ... bytes, so that the length field arrives split in every way.
FrameReader::State readInPieces(FrameReader &reader, const QByteArray &bytes)
{
    qsizetype at = 0, step = 1, next = 2;
    FrameReader::State state = reader.state();
    while (at < bytes.size()) {
        state = reader.append(bytes.mid(at, step));
        at += step;
        const qsizetype sum = step + next;
        step = next;
        next = sum;
    }
    return state;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The SQL driver is a plugin, which needs the application object to be found.
    static QCoreApplication app(*argc, *argv);
    store = new QTemporaryDir(QDir::tempPath() + QStringLiteral("/kx-fuzz-frame.XXXXXX"));
    if (!store->isValid())
        fail("can not make the store folder");
    std::atexit([] { delete store; });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const ServerOptions options;
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));

    FrameReader whole(options.maxFrameSize);
    const FrameReader::State state = whole.append(bytes);
    FrameReader pieces(options.maxFrameSize);
    if (readInPieces(pieces, bytes) != state)
        fail("the bytes in pieces are judged otherwise than at once");

    switch (state) {
    case FrameReader::State::NeedMore:
        if (whole.receivedSize() != bytes.size() || pieces.receivedSize() != bytes.size() ||
            (whole.expectedSize() >= 0 && bytes.size() >= whole.expectedSize()))
            fail("waiting for more although the frame is all there");
        return 0;
    case FrameReader::State::Refused:
        if (whole.reason().isEmpty() || !whole.compressedBlock().isEmpty())
            fail("refused without a reason, or with a block kept");
        return 0;
    case FrameReader::State::Complete:
        break;
    }
    const QByteArray block = whole.compressedBlock();
    if (bytes.size() != whole.expectedSize() || block != bytes.mid(FrameReader::lengthFieldSize) ||
        pieces.compressedBlock() != block)
        fail("a complete frame whose block is not the bytes after its length field");

    const UploadStore::Result result =
        UploadStore::receive(block, options.maxDocumentSize, store->path(), QStringLiteral("fuzz"));
    if (result.ok != result.reason.isEmpty())
        fail("a stored upload with a reason, or a refused one without");
    const QStringList left = QDir(store->path()).entryList(QDir::Files);
    if (result.ok ? left != QStringList{QFileInfo(result.file).fileName()} : !left.isEmpty())
        fail("the store holds other than the one stored upload");
    if (result.ok && !QFile::remove(result.file))
        fail("can not remove the stored upload");
    return 0;
}
