#include "upload/xmltext.h"

namespace XmlText {

namespace {

bool isXmlChar(char32_t c)
{
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) ||
           (c >= 0xE000 && c <= 0xFFFD) || (c >= 0x10000 && c <= 0x10FFFF);
}

QString xmlSafe(const QString &value)
{
    QString safe;
    bool replaced = false;
    const qsizetype size = value.size();
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = value.at(i);
        char32_t code = c.unicode();
        qsizetype length = 1;
        if (c.isHighSurrogate() && i + 1 < size && value.at(i + 1).isLowSurrogate()) {
            code = QChar::surrogateToUcs4(c, value.at(i + 1));
            length = 2;
        }
        if (!isXmlChar(code)) {
            if (!replaced)
                safe = value.left(i);
            replaced = true;
            safe.append(QChar::ReplacementCharacter);
        } else if (replaced) {
            safe.append(value.constData() + i, length);
        }
        i += length - 1;
    }
    return replaced ? safe : value;
}

void escape(QByteArray &out, const char *utf8, qsizetype size)
{
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const char *replacement = nullptr;
        switch (utf8[i]) {
        case '<':
            replacement = "&lt;";
            break;
        case '&':
            replacement = "&amp;";
            break;
        case '"':
            replacement = "&quot;";
            break;
        case '>':
            if (i >= 2 && utf8[i - 1] == ']' && utf8[i - 2] == ']')
                replacement = "&gt;";
            break;
        case '\r':
            replacement = "&#xd;";
            break;
        case '\n':
            replacement = "&#xa;";
            break;
        case '\t':
            replacement = "&#x9;";
            break;
        default:
            break;
        }
        if (replacement) {
            out.append(utf8 + start, i - start);
            out.append(replacement);
            start = i + 1;
        }
    }
    out.append(utf8 + start, size - start);
}

} // namespace

void appendEscaped(QByteArray &out, const QString &value)
{
    const QByteArray utf8 = xmlSafe(value).toUtf8();
    escape(out, utf8.constData(), utf8.size());
}

void appendEscapedAscii(QByteArray &out, const char *data, qsizetype size)
{
    escape(out, data, size);
}

bool isPlainAscii(const char *data, qsizetype size)
{
    for (qsizetype i = 0; i < size; ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c > 0x7e || (c < 0x20 && c != '\t' && c != '\n' && c != '\r'))
            return false;
    }
    return true;
}

void appendAttribute(QByteArray &out, const char *name, const QString &value)
{
    out.append(' ').append(name).append("=\"");
    appendEscaped(out, value);
    out.append('"');
}

} // namespace XmlText
