#pragma once

#include <QByteArray>
#include <QString>

// What the server does with a complete frame: decompress the document, parse it, and keep its
// models, keys and about attributes in an SQLite file of their own.
//
// Each upload becomes <folder>/upload-<yyyyMMdd-hhmmsszzz>-<n>.db with three tables, every value
// kept as the text that arrived:
//   about(macAddress, currentMSecsSinceEpoch, currentDateTimeUtc, company, address, contact,
//         version, peer, receivedUtc)
//   rcmodels(Rcid, Brand, Type, Model, Documentation, Link, Author, Correction, Own, Hidden,
//            Flag, Hidden1, Prot)
//   rckeys(Rcid, RCTypeId, Name, ID, Nkey)
// The file appears under its name only when complete.
class UploadStore
{
public:
    struct Result
    {
        bool ok = false;
        QString reason;
        QString file;
        int models = 0;
        int keys = 0;
    };

    // The document inside a frame's block (4-byte big-endian size, then a zlib stream). The
    // stream must end exactly at the block's end and give exactly the stated size, which may
    // not pass maxDocumentSize; otherwise the document is empty and errorString says why.
    struct Inflated
    {
        QByteArray document;
        QString errorString;
    };
    static Inflated inflateDocument(const QByteArray &block, qint64 maxDocumentSize);

    // Parses the document and writes it to a new file in folder.
    static Result store(const QByteArray &document, const QString &folder, const QString &peer);

    // Both steps, as one piece of work for a pool thread.
    static Result receive(const QByteArray &block, qint64 maxDocumentSize, const QString &folder,
                          const QString &peer);
};
