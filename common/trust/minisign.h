#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include "common/errorstring.h"

// Signatures in the format of the minisign command (Ed25519), checked with libsodium. Both kinds
// that the command writes are accepted: the default one over the BLAKE2b-512 hash of the file,
// and the legacy one (-l) over the file's bytes. The trusted comment's own signature is always
// checked as well.
namespace Minisign {

struct PublicKey
{
    QByteArray keyId; // 8 bytes
    QByteArray key;   // 32 bytes
};

// A public-key file as the command writes it (an "untrusted comment:" line, then the key's
// base64 line), or the base64 line alone. Base64 is decoded strictly; false on anything else.
bool parsePublicKey(const QByteArray &text, PublicKey *key);

class Verifier : public ErrorString
{
public:
    // True when signatureFile (the contents of a .minisig file) is a good signature of message
    // by one of keys; otherwise errorString() says what is wrong with it.
    bool verify(const QByteArray &message, const QByteArray &signatureFile,
                const QList<PublicKey> &keys);
};

} // namespace Minisign
