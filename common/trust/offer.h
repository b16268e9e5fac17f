#pragma once

#include <memory>

#include <QHash>
#include <QList>
#include <QString>

#include "common/errorstring.h"
#include "common/files/platform.h"
#include "common/settings/settings.h"
#include "common/trust/minisign.h"
#include "common/trust/package.h"

// What ../update-tmp/ offers: the offered versions, the upload mode and, when the maker signs his
// offers, the SHA-256 of every package (the rules are the README's, "Signed updates"). The offer
// is taken once, within its size limits, and parsed from a private copy: what is read is what was
// checked. Verification is on when a trusted key is installed; without one every package opens
// as it is.
class Offer : public ErrorString
{
public:
    static constexpr qint64 maxOfferBytes = 1 << 20;
    static constexpr qint64 maxSignatureBytes = 4096;

    // Not verifying: the offer of a worker that has not read one yet.
    Offer() = default;

    // Reads the offer once; the versions and the hashes come from the bytes that were checked.
    // The download folder is held from then on: every package is taken from the folder read.
    // Private copies are made in scratch, a folder of the run's own (the offer's in the system's
    // temporary folder when there is none).
    static Offer read(const Platform::Folder *scratch);
    static Offer read(const QList<Minisign::PublicKey> &trustedKeys,
                      const Platform::Folder *scratch);
    // package-key.pub in the updater's folder, then the key built in, when there are any; one
    // that can not be read is there as a key that matches nothing.
    static QList<Minisign::PublicKey> installedKeys();

    bool isVerifying() const { return m_verifying; }
    // True when nothing is verified, or the offer's signature is good; otherwise errorString()
    // says why the offer is refused.
    bool isTrusted() const { return errorString().isEmpty(); }
    const Settings::Offered &offered() const { return m_offered; }
    // True when the signed offer names the package (by its file name).
    bool lists(const QString &packagePath) const;

    // The package, when verifying copied into the scratch folder while it is hashed: its owner
    // may rewrite the download folder's file in place at any moment, nobody the copy.
    Package open(const QString &packagePath) const;
    // The download folder as it was when the offer was read; null when there was none.
    Platform::Folder *downloads() const { return m_downloads.get(); }

private:
    // Run as root, a link in a folder that others can write may lead to any of root's files.
    bool followsLinks() const;

    std::shared_ptr<Platform::Folder> m_downloads;
    std::shared_ptr<Platform::Folder> m_scratch;
    bool m_verifying = false;
    Settings::Offered m_offered;
    QHash<QString, QString> m_hashes; // file name -> lower-case hex SHA-256
};
