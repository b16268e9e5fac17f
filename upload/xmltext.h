#pragma once

#include <QByteArray>
#include <QString>

// Attribute values of the upload document, escaped as Qt's DOM writer escapes them, so that a
// parser gives back exactly the value, line ends and tabs included. XML 1.0 can not carry some
// characters at all, not even as references, and a receiver refuses the whole document for one
// of them: such a character (a lone surrogate too) goes out as U+FFFD. Only the document
// changes; the database keeps what the user typed.
namespace XmlText {

// ` name="value"`.
void appendAttribute(QByteArray &out, const char *name, const QString &value);
void appendEscaped(QByteArray &out, const QString &value);

// The same for UTF-8 bytes that are plain ASCII: printable characters, tabs and line ends, which
// need no conversion at all (see isPlainAscii).
void appendEscapedAscii(QByteArray &out, const char *data, qsizetype size);
bool isPlainAscii(const char *data, qsizetype size);

} // namespace XmlText
