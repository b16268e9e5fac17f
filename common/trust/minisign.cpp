#include "common/trust/minisign.h"

#include <QByteArrayList>

#include <sodium.h>

namespace Minisign {

namespace {

constexpr int keyIdSize = 8;
constexpr int publicKeySize = int(crypto_sign_PUBLICKEYBYTES);
constexpr int signatureSize = int(crypto_sign_BYTES);
constexpr int hashSize = int(crypto_generichash_BYTES_MAX);

// "Ed" marks a key, and a signature over the file's bytes; "ED" one over the file's hash.
const QByteArray keyAlgorithm = QByteArrayLiteral("Ed");
const QByteArray legacyAlgorithm = keyAlgorithm;
const QByteArray hashedAlgorithm = QByteArrayLiteral("ED");
const QByteArray untrustedPrefix = QByteArrayLiteral("untrusted comment: ");
const QByteArray trustedPrefix = QByteArrayLiteral("trusted comment: ");

// Strict base64: every character must belong to the alphabet and the padding must be right.
bool decodeBase64(const QByteArray &text, int expectedSize, QByteArray *out)
{
    const auto result =
        QByteArray::fromBase64Encoding(text, QByteArray::AbortOnBase64DecodingErrors);
    if (!result || result.decoded.size() != expectedSize ||
        result.decoded.toBase64() != text) // no stray bits in the last character
        return false;
    *out = result.decoded;
    return true;
}

// The file's lines without their line ends; the command writes "\n", an editor may add "\r".
QByteArrayList linesOf(const QByteArray &text)
{
    QByteArrayList lines = text.split('\n');
    for (QByteArray &line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    while (!lines.isEmpty() && lines.constLast().isEmpty())
        lines.removeLast();
    return lines;
}

bool sodiumReady()
{
    static const bool ready = sodium_init() >= 0;
    return ready;
}

bool verifyDetached(const QByteArray &signature, const QByteArray &message, const QByteArray &key)
{
    return crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.data()),
                                       reinterpret_cast<const unsigned char *>(message.data()),
                                       quint64(message.size()),
                                       reinterpret_cast<const unsigned char *>(key.data())) == 0;
}

} // namespace

bool parsePublicKey(const QByteArray &text, PublicKey *key)
{
    const QByteArrayList lines = linesOf(text.trimmed());
    if (lines.isEmpty() || lines.size() > 2)
        return false;
    if (lines.size() == 2 && !lines.first().startsWith(untrustedPrefix))
        return false;
    QByteArray decoded;
    if (!decodeBase64(lines.last(), 2 + keyIdSize + publicKeySize, &decoded) ||
        !decoded.startsWith(keyAlgorithm))
        return false;
    key->keyId = decoded.mid(2, keyIdSize);
    key->key = decoded.mid(2 + keyIdSize);
    return true;
}

bool Verifier::verify(const QByteArray &message, const QByteArray &signatureFile,
                      const QList<PublicKey> &keys)
{
    if (!sodiumReady())
        return failBecause(QStringLiteral("the signature library can not start"));
    const QByteArrayList lines = linesOf(signatureFile);
    if (lines.size() != 4 || !lines.at(0).startsWith(untrustedPrefix) ||
        !lines.at(2).startsWith(trustedPrefix))
        return failBecause(QStringLiteral("the signature file is malformed"));
    QByteArray signature;
    QByteArray globalSignature;
    if (!decodeBase64(lines.at(1), 2 + keyIdSize + signatureSize, &signature) ||
        !decodeBase64(lines.at(3), signatureSize, &globalSignature))
        return failBecause(QStringLiteral("the signature file is malformed"));

    const QByteArray algorithm = signature.left(2);
    const QByteArray keyId = signature.mid(2, keyIdSize);
    const QByteArray fileSignature = signature.mid(2 + keyIdSize);
    if (algorithm != hashedAlgorithm && algorithm != legacyAlgorithm)
        return failBecause(QStringLiteral("unknown signature algorithm"));

    const PublicKey *signer = nullptr;
    for (const PublicKey &key : keys)
        if (key.keyId == keyId)
            signer = &key;
    if (!signer)
        return failBecause(QStringLiteral("signed by an unknown key %1")
                               .arg(QString::fromLatin1(keyId.toHex().toUpper())));

    QByteArray signedBytes = message;
    if (algorithm == hashedAlgorithm) {
        signedBytes.resize(hashSize);
        crypto_generichash(reinterpret_cast<unsigned char *>(signedBytes.data()), hashSize,
                           reinterpret_cast<const unsigned char *>(message.data()),
                           quint64(message.size()), nullptr, 0);
    }
    if (!verifyDetached(fileSignature, signedBytes, signer->key))
        return failBecause(QStringLiteral("the signature does not match"));
    const QByteArray trustedComment = lines.at(2).mid(trustedPrefix.size());
    if (!verifyDetached(globalSignature, fileSignature + trustedComment, signer->key))
        return failBecause(QStringLiteral("the trusted comment's signature does not match"));
    return true;
}

} // namespace Minisign
