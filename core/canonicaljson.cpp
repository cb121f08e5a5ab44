#include "core/canonicaljson.h"

#include "core/util.h"

#include <QStringList>

#include <algorithm>
#include <charconv>

namespace Orv {
namespace {

// Payloads carry whole documents (base64, XML), so the text is built once, as UTF-8 bytes, in a
// single buffer; only the public text functions convert it to a QString.
class CanonicalWriter
{
public:
    QByteArray take() { return std::move(m_out); }

    void value(const QJsonValue &value)
    {
        switch (value.type()) {
        case QJsonValue::Bool:
            m_out.append(value.toBool() ? "true" : "false");
            break;
        case QJsonValue::Double:
            number(value.toDouble());
            break;
        case QJsonValue::String:
            quoted(value.toString());
            break;
        case QJsonValue::Array:
            array(value.toArray());
            break;
        case QJsonValue::Object:
            object(value.toObject());
            break;
        default:
            m_out.append("null");
            break;
        }
    }

    void array(const QJsonArray &array)
    {
        m_out.append('[');
        bool first = true;
        for (const QJsonValue &element : array) {
            if (!first)
                m_out.append(',');
            first = false;
            value(element);
        }
        m_out.append(']');
    }

    void object(const QJsonObject &object)
    {
        // QJsonObject already keeps its keys in UTF-16 order; sorting is only a safeguard, so
        // the wire format does not hang on a detail of the library.
        QStringList keys = object.keys();
        if (!std::is_sorted(keys.cbegin(), keys.cend()))
            std::sort(keys.begin(), keys.end());
        m_out.append('{');
        bool first = true;
        for (const QString &key : std::as_const(keys)) {
            const QJsonValue member = object.value(key);
            if (member.isUndefined())
                continue;
            if (!first)
                m_out.append(',');
            first = false;
            quoted(key);
            m_out.append(':');
            value(member);
        }
        m_out.append('}');
    }

    void number(double v)
    {
        // The range test comes first: converting a double outside the int64 range is undefined
        // behaviour, and NaN fails both comparisons.
        constexpr double kTwoPow63 = 9223372036854775808.0;
        char buffer[32];
        std::to_chars_result end;
        if (v >= -kTwoPow63 && v < kTwoPow63 && double(qint64(v)) == v)
            end = std::to_chars(buffer, buffer + sizeof buffer, qint64(v));
        else // to_chars rounds exactly like printf and ignores the locale
            end = std::to_chars(buffer, buffer + sizeof buffer, v, std::chars_format::general, 17);
        m_out.append(buffer, end.ptr - buffer);
    }

    void quoted(QStringView text)
    {
        // Room for the worst case (six bytes per UTF-16 unit), trimmed afterwards.
        const qsizetype start = m_out.size();
        m_out.resize(start + 2 + 6 * text.size());
        char *out = m_out.data() + start;
        *out++ = '"';
        const char16_t *it = text.utf16();
        const char16_t *const end = it + text.size();
        while (it != end) {
            const char16_t u = *it++;
            if (u < 0x80) {
                if (u >= 0x20 && u != u'"' && u != u'\\') {
                    *out++ = char(u);
                    continue;
                }
                *out++ = '\\';
                switch (u) {
                case u'"':
                    *out++ = '"';
                    break;
                case u'\\':
                    *out++ = '\\';
                    break;
                case u'\b':
                    *out++ = 'b';
                    break;
                case u'\f':
                    *out++ = 'f';
                    break;
                case u'\n':
                    *out++ = 'n';
                    break;
                case u'\r':
                    *out++ = 'r';
                    break;
                case u'\t':
                    *out++ = 't';
                    break;
                default:
                    out = escaped(out, u);
                    break;
                }
            } else if (u < 0x800) {
                *out++ = char(0xc0 | (u >> 6));
                *out++ = char(0x80 | (u & 0x3f));
            } else if (!QChar::isSurrogate(u)) {
                *out++ = char(0xe0 | (u >> 12));
                *out++ = char(0x80 | ((u >> 6) & 0x3f));
                *out++ = char(0x80 | (u & 0x3f));
            } else if (QChar::isHighSurrogate(u) && it != end && QChar::isLowSurrogate(*it)) {
                const char32_t c = QChar::surrogateToUcs4(u, *it++);
                *out++ = char(0xf0 | (c >> 18));
                *out++ = char(0x80 | ((c >> 12) & 0x3f));
                *out++ = char(0x80 | ((c >> 6) & 0x3f));
                *out++ = char(0x80 | (c & 0x3f));
            } else {
                // A lone surrogate has no UTF-8 form; it stays visible as an escape.
                *out++ = '\\';
                out = escaped(out, u);
            }
        }
        *out++ = '"';
        m_out.truncate(out - m_out.constData());
    }

private:
    // "u" and four lower-case hexadecimal digits (the backslash is already written).
    static char *escaped(char *out, char16_t u)
    {
        static const char digits[] = "0123456789abcdef";
        *out++ = 'u';
        for (int shift = 12; shift >= 0; shift -= 4)
            *out++ = digits[(u >> shift) & 0xf];
        return out;
    }

    QByteArray m_out;
};

QByteArray canonicalObjectBytes(const QJsonObject &object)
{
    CanonicalWriter writer;
    writer.object(object);
    return writer.take();
}

} // namespace

QString canonicalJson(const QJsonValue &value)
{
    CanonicalWriter writer;
    writer.value(value);
    return QString::fromUtf8(writer.take());
}

QString canonicalJsonObject(const QJsonObject &object)
{
    return QString::fromUtf8(canonicalObjectBytes(object));
}

QString canonicalJsonArray(const QJsonArray &array)
{
    CanonicalWriter writer;
    writer.array(array);
    return QString::fromUtf8(writer.take());
}

QString jsonQuote(const QString &text)
{
    CanonicalWriter writer;
    writer.quoted(text);
    return QString::fromUtf8(writer.take());
}

QString canonicalJsonSha256(const QJsonObject &object)
{
    return sha256Hex(canonicalObjectBytes(object));
}

} // namespace Orv
