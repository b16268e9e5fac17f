#pragma once

#include <atomic>

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include "common/errorstring.h"
#include "common/files/platform.h"

namespace Zip {

// A ZIP archive of exactly one file, written in one pass straight from an open file into another:
// read, CRC and deflate go chunk by chunk, so that neither the file nor its compressed form is
// ever held whole, and the source is only read at offsets (its position, and the locks that
// others hold on it, stay as they are). A file under 64 bytes is stored; one too large for the
// classic fields gets the ZIP64 ones.
class OneFileArchive : public ErrorString
{
public:
    struct Source
    {
        Platform::File *file = nullptr;
        qint64 size = 0;
        quint32 permissions = 0644;
        QDateTime modified;
        // When set, the bytes read so far, for whoever shows the writing's progress.
        std::atomic<qint64> *read = nullptr;
    };

    // Writes the archive of source, as the entry entryName, into archive (empty, open for
    // writing). On failure errorString() carries the system's reason (a full disk says so).
    [[nodiscard]] bool write(const QString &entryName, const Source &source,
                             Platform::File &archive);

private:
    bool copyData(const Source &source, bool deflate, Platform::File &archive, quint32 *crc,
                  qint64 *written);
};

} // namespace Zip
