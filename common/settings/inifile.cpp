#include "common/settings/inifile.h"

#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QStringDecoder>
#include <QStringEncoder>

#include "common/files/filereplace.h"
#include "common/files/platform.h"

namespace {

struct Line
{
    QByteArray content; // without its line end
    QByteArray end;     // "\r\n", "\n" or nothing for a last line without one
};

QList<Line> linesOf(const QByteArray &text)
{
    QList<Line> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        const qsizetype newline = text.indexOf('\n', start);
        if (newline < 0) {
            lines.append({text.mid(start), QByteArray()});
            break;
        }
        const bool crlf = newline > start && text.at(newline - 1) == '\r';
        lines.append({text.mid(start, newline - start - (crlf ? 1 : 0)),
                      crlf ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n")});
        start = newline + 1;
    }
    return lines;
}

// A UTF-8 byte order mark belongs to the first line's bytes, not to its section or key.
QByteArray withoutBom(const QByteArray &content)
{
    return content.startsWith("\xEF\xBB\xBF") ? content.mid(3) : content;
}

// The section a line opens, or a null array.
QByteArray sectionOf(const QByteArray &content)
{
    const QByteArray line = withoutBom(content).trimmed();
    if (!line.startsWith('[') || !line.contains(']'))
        return QByteArray();
    return line.mid(1, line.indexOf(']') - 1).trimmed();
}

// The key a line sets, or a null array for blank lines, comments and section lines.
QByteArray keyOf(const QByteArray &content)
{
    const QByteArray line = withoutBom(content).trimmed();
    if (line.isEmpty() || line.startsWith(';') || line.startsWith('#') || line.startsWith('['))
        return QByteArray();
    const qsizetype equals = line.indexOf('=');
    return equals < 0 ? QByteArray() : line.left(equals).trimmed();
}

} // namespace

QByteArray IniFile::withValue(const QByteArray &text, const QString &section, const QString &key,
                              const QByteArray &value)
{
    QList<Line> lines = linesOf(text);
    const QByteArray eol =
        text.contains("\r\n") ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    const QByteArray wantedSection = section.toUtf8();
    const QByteArray wantedKey = key.toUtf8();

    bool inSection = false;
    bool changed = false;
    qsizetype lastOfSection = -1; // the last line of the wanted section that is not blank
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray opened = sectionOf(lines.at(i).content);
        if (!opened.isNull()) {
            inSection = opened == wantedSection;
            if (inSection)
                lastOfSection = i;
            continue;
        }
        if (!inSection)
            continue;
        if (!withoutBom(lines.at(i).content).trimmed().isEmpty())
            lastOfSection = i;
        if (keyOf(lines.at(i).content) != wantedKey)
            continue;
        // Everything up to the value stays as written: the key's spelling, blanks around '='.
        QByteArray &content = lines[i].content;
        qsizetype valueStart = content.indexOf('=') + 1;
        while (valueStart < content.size() &&
               (content.at(valueStart) == ' ' || content.at(valueStart) == '\t'))
            ++valueStart;
        content = content.left(valueStart) + value;
        changed = true;
    }
    if (!changed) {
        const Line added{wantedKey + '=' + value, eol};
        if (lastOfSection >= 0) {
            if (lines.at(lastOfSection).end.isEmpty())
                lines[lastOfSection].end = eol;
            lines.insert(lastOfSection + 1, added);
        } else {
            if (!lines.isEmpty() && lines.last().end.isEmpty())
                lines.last().end = eol;
            lines.append({'[' + wantedSection + ']', eol});
            lines.append(added);
        }
    }
    QByteArray result;
    result.reserve(text.size() + value.size() + wantedKey.size() + wantedSection.size() + 8);
    for (const Line &line : std::as_const(lines))
        result.append(line.content).append(line.end);
    return result;
}

bool IniFile::setValue(const QString &section, const QString &key, const QByteArray &value)
{
    clearError();
    // A linked file is replaced where it lies, so that the link stays.
    const QFileInfo info(m_path);
    const QString target = info.isSymLink() ? info.canonicalFilePath() : m_path;
    if (target.isEmpty())
        return failBecause(QStringLiteral("%1 leads nowhere").arg(m_path));
    const QFileInfo real(target);
    Platform::Folder folder;
    if (!folder.open(real.absolutePath()))
        return failBecause(folder.errorString());
    // Run as root, a folder that others can write lets them choose what is rewritten.
    if (Platform::isPrivileged() && folder.othersMayWrite())
        return failBecause(QStringLiteral("the folder %1 can be written by other accounts")
                               .arg(real.absolutePath()));
    using Failure = Platform::Folder::OpenFailure;
    Failure failure = Failure::None;
    Platform::File old = folder.openForReading(real.fileName(), false, &failure);
    if (!old.isOpen() && failure != Failure::Absent)
        return failBecause(QStringLiteral("%1 %2").arg(m_path, folder.errorString()));
    // Owner, group and mode come from the file read, never from whatever the name shows later.
    const Platform::FileInfo reference = old.info();
    QByteArray text;
    if (old.isOpen()) {
        QFile file;
        if (!file.open(old.descriptor(), QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
            return failBecause(file.errorString());
        text = file.readAll();
        if (file.error() != QFileDevice::NoError)
            return failBecause(file.errorString());
    }
    // Windows renames over no file that is open, this one included.
    old.close();
    const Encoding encoding = encodingOf(text);
    if (encoding == Encoding::Unreadable)
        return failBecause(QStringLiteral("%1 is neither UTF-16 with a byte order mark nor 8-bit "
                                          "text; it is left as it is")
                               .arg(m_path));
    // UTF-16 is edited as UTF-8 and written back as it came, byte order mark and all.
    const bool utf16 = encoding != Encoding::EightBit;
    const QStringConverter::Encoding wide = encoding == Encoding::Utf16BigEndian
                                                ? QStringConverter::Utf16BE
                                                : QStringConverter::Utf16LE;
    const QByteArray edited =
        utf16 ? QStringDecoder(wide).decode(text).operator QString().toUtf8() : text;
    QByteArray changed = withValue(edited, section, key, value);
    if (old.isOpen() && changed == edited)
        return true;
    if (utf16)
        changed = QStringEncoder(wide, QStringConverter::Flag::WriteBom)
                      .encode(QString::fromUtf8(changed));

    FileReplace::PartFile part(folder, real.fileName());
    if (!part.open())
        return failBecause(part.errorString());
    if (part.file().write(changed) != changed.size())
        return failBecause(part.file().errorString());
    return part.commit(reference, true) || failBecause(part.errorString());
}

IniFile::Encoding IniFile::encodingOf(const QByteArray &bytes)
{
    const bool little = bytes.startsWith("\xFF\xFE");
    if (little || bytes.startsWith("\xFE\xFF")) {
        QStringDecoder decoder(little ? QStringConverter::Utf16LE : QStringConverter::Utf16BE);
        const QString decoded = decoder.decode(bytes);
        if (decoder.hasError() || bytes.size() % 2 != 0)
            return Encoding::Unreadable;
        return little ? Encoding::Utf16LittleEndian : Encoding::Utf16BigEndian;
    }
    return bytes.contains('\0') ? Encoding::Unreadable : Encoding::EightBit;
}

QByteArray IniFile::asUtf8(const QByteArray &text)
{
    switch (encodingOf(text)) {
    case Encoding::Utf16LittleEndian:
        return QStringDecoder(QStringConverter::Utf16LE).decode(text).operator QString().toUtf8();
    case Encoding::Utf16BigEndian:
        return QStringDecoder(QStringConverter::Utf16BE).decode(text).operator QString().toUtf8();
    case Encoding::EightBit:
    case Encoding::Unreadable:
        break;
    }
    QByteArray result;
    bool converted = false;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        end = end < 0 ? text.size() : end + 1;
        const QByteArray line = text.mid(start, end - start);
        QStringDecoder utf8(QStringDecoder::Utf8);
        const QString decoded = utf8.decode(line); // decoding happens on conversion only
        Q_UNUSED(decoded);
        if (utf8.hasError()) {
            result.append(QString::fromLatin1(line).toUtf8());
            converted = true;
        } else {
            result.append(line);
        }
        start = end;
    }
    return converted ? result : text;
}
