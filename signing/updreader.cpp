#include "signing/updreader.h"

#include <QRegularExpression>
#include <QXmlStreamReader>

namespace Orv::Upd {

namespace {

// windows-1251 bytes 0x80..0xBF; 0x98 is unassigned in the code page.
constexpr char16_t kCp1251High[64] = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F, // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 0x90
    0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407, // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7, // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457, // 0xB8
};

constexpr int kDeclarationWindow = 200;

} // namespace

QString decodeXml(const QByteArray &bytes)
{
    static const QRegularExpression declaration(
        QStringLiteral(R"(encoding\s*=\s*["']([\w-]+)["'])"),
        QRegularExpression::CaseInsensitiveOption);
    const QString head = QString::fromLatin1(bytes.left(kDeclarationWindow));
    const QRegularExpressionMatch match = declaration.match(head);
    const QString name = match.hasMatch() ? match.captured(1).toLower() : QStringLiteral("utf-8");
    if (name == QLatin1String("windows-1251") || name == QLatin1String("cp1251"))
        return fromCp1251(bytes);
    return QString::fromUtf8(bytes);
}

QString fromCp1251(const QByteArray &bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    QChar *out = text.data();
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x80)
            *out++ = QChar(byte);
        else if (byte < 0xC0)
            *out++ = QChar(kCp1251High[byte - 0x80]);
        else
            *out++ = QChar(byte + 0x350);
    }
    return text;
}

bool innKind(const QString &name)
{
    return name == QStringLiteral("ИННЮЛ") || name == QStringLiteral("ИННФЛ") ||
           name == QStringLiteral("ИНН");
}

bool isValidInn(const QString &text)
{
    // Anchored as a whole: a plain "$" would also let a value with a trailing line break pass.
    static const QRegularExpression inn(
        QRegularExpression::anchoredPattern(QStringLiteral(R"(\d{10}|\d{12})")));
    return inn.match(text).hasMatch();
}

BuyerTitleInfo readBuyerTitle(const QString &xml)
{
    BuyerTitleInfo info;
    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        if (reader.readNext() == QXmlStreamReader::StartElement && info.sellerFileRef.isEmpty() &&
            reader.name() == QStringLiteral("ИдИнфПрод"))
            info.sellerFileRef =
                reader.attributes().value(QStringLiteral("ИдФайлИнфПр")).toString();
    }
    if (reader.hasError()) {
        info.error =
            QStringLiteral("Титул покупателя не разобрался как XML: %1").arg(reader.errorString());
        return info;
    }
    info.ok = true;
    return info;
}

SellerTitleInfo readSellerTitle(const QString &xml)
{
    SellerTitleInfo info;
    QStringList inns;
    int buyerDepth = 0;
    QString pendingInnElement;
    // The element's whole text: a comment or CDATA section splits it into several pieces, and the
    // first alone could be another organisation's INN.
    QString pendingText;
    const QString buyer = QStringLiteral("СвПокуп");

    QXmlStreamReader reader(xml);
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            const QString name = reader.name().toString();
            if (!pendingInnElement.isEmpty()) {
                reader.raiseError(QStringLiteral("в элементе %1 с ИНН покупателя лежит элемент %2")
                                      .arg(pendingInnElement, name));
                break;
            }
            if (name == QStringLiteral("Файл") && info.fileId.isEmpty())
                info.fileId = reader.attributes().value(QStringLiteral("ИдФайл")).toString();
            if (name == buyer)
                ++buyerDepth;
            if (buyerDepth < 1) {
                pendingInnElement.clear();
                break;
            }
            const QXmlStreamAttributes attributes = reader.attributes();
            for (const QXmlStreamAttribute &attribute : attributes) {
                const QString value = attribute.value().toString();
                if (innKind(attribute.name().toString()) && isValidInn(value))
                    inns.append(value);
            }
            pendingInnElement = innKind(name) ? name : QString();
            pendingText.clear();
            break;
        }
        case QXmlStreamReader::EndElement:
            if (!pendingInnElement.isEmpty() && isValidInn(pendingText.trimmed()))
                inns.append(pendingText.trimmed());
            pendingInnElement.clear();
            if (reader.name() == buyer)
                --buyerDepth;
            break;
        case QXmlStreamReader::Characters:
            if (!pendingInnElement.isEmpty())
                pendingText += reader.text();
            break;
        default:
            break;
        }
    }
    if (reader.hasError()) {
        info.error =
            QStringLiteral("Титул продавца не разобрался как XML: %1").arg(reader.errorString());
        return info;
    }
    inns.removeDuplicates();
    inns.sort(Qt::CaseSensitive);
    info.buyerInns = inns;
    info.ok = true;
    return info;
}

} // namespace Orv::Upd
