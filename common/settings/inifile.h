#pragma once

#include <QByteArray>
#include <QString>

#include "common/errorstring.h"

// ../config.ini as a text that belongs to the application: the updater changes the line of the
// key it records and nothing else. Every other byte stays (a BOM, CRLF line ends, comments,
// empty sections, the order of keys, Latin-1 values, backslashes, keys with blanks), which the
// settings store, rewriting the whole file from what it parsed, would not keep.
class IniFile : public ErrorString
{
public:
    explicit IniFile(const QString &path) : m_path(path) {}

    // text with key of section set to value: the key's line changed (each, should the section
    // name it twice), else the key added after the section's last line, else the section added at
    // the end, in the file's own line ends.
    static QByteArray withValue(const QByteArray &text, const QString &section, const QString &key,
                                const QByteArray &value);

    // Sets the key in the file and replaces the file in one step (written beside it, on the
    // disk, renamed over it, its folder synced), keeping its owner, group and mode, its encoding
    // and its line ends; a link stays a link and its target is replaced. A missing file is made;
    // an unreadable one is left as it is.
    [[nodiscard]] bool setValue(const QString &section, const QString &key,
                                const QByteArray &value);

    // How the file is written: 8-bit text (UTF-8, Latin-1, an ANSI code page), UTF-16 with a
    // byte order mark (Notepad's "Unicode"), or neither (NUL bytes in it, or UTF-16 that does
    // not decode): such a file is read as it is and never written.
    enum class Encoding { EightBit, Utf16LittleEndian, Utf16BigEndian, Unreadable };
    static Encoding encodingOf(const QByteArray &bytes);

    // The text as the settings store should read it: UTF-16 decoded, and a line that is not valid
    // UTF-8 (a Latin-1 value written by an older program) taken as Latin-1, all given as UTF-8.
    static QByteArray asUtf8(const QByteArray &text);

private:
    QString m_path;
};
