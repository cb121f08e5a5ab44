#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Readers of the two titles of a УПД transfer document: the buyer's title that the agent signs and
// the seller's title it is checked against. Pure functions; a missing element or attribute is not
// an error (the fields stay empty), only malformed XML is.
namespace Orv::Upd {

struct BuyerTitleInfo
{
    bool ok = false;
    QString sellerFileRef; // "ИдФайлИнфПр" of the first "ИдИнфПрод" that has one
    QString error;
};

struct SellerTitleInfo
{
    bool ok = false;
    QString fileId;        // "ИдФайл" of the first "Файл" that has one
    QStringList buyerInns; // distinct valid INNs of the buyer part, sorted
    QString error;
};

// Text of XML bytes by the encoding their declaration names within the first 200 bytes:
// windows-1251 (also as "cp1251"), otherwise UTF-8.
QString decodeXml(const QByteArray &bytes);
// One character per byte by the windows-1251 code page; its one unassigned byte becomes U+FFFD.
QString fromCp1251(const QByteArray &bytes);
// "ИННЮЛ", "ИННФЛ" or "ИНН".
bool innKind(const QString &name);
// Exactly 10 or 12 ASCII digits, nothing else.
bool isValidInn(const QString &text);

BuyerTitleInfo readBuyerTitle(const QString &xml);
SellerTitleInfo readSellerTitle(const QString &xml);

} // namespace Orv::Upd
