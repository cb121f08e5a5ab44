#include "signing/updreader.h"

#include <QTest>

#include <iconv.h>

using namespace Orv;

namespace {

// The C library's own windows-1251 converter, independent of ours. Characters it cannot convert
// make the result empty, so a typo in a test's text shows up as a failure.
QByteArray iconvConvert(const QByteArray &input, const char *from, const char *to)
{
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1))
        return {};
    QByteArray output(input.size() * 4 + 4, '\0');
    char *in = const_cast<char *>(input.constData());
    size_t inLeft = size_t(input.size());
    char *out = output.data();
    size_t outLeft = size_t(output.size());
    const size_t done = iconv(cd, &in, &inLeft, &out, &outLeft);
    iconv_close(cd);
    if (done == size_t(-1))
        return {};
    output.truncate(output.size() - qsizetype(outLeft));
    return output;
}

QByteArray toCp1251(const QString &text)
{
    return iconvConvert(text.toUtf8(), "UTF-8", "CP1251");
}

} // namespace

class TestUpdReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (iconvConvert(QByteArrayLiteral("a"), "UTF-8", "CP1251").isEmpty())
            QSKIP("the C library has no windows-1251 converter to compare with");
    }

    void cp1251MatchesTheCodePage()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        const QString text = Upd::fromCp1251(all);
        QCOMPARE(text.size(), 256);
        for (int b = 0; b < 256; ++b) {
            const QByteArray utf8 = iconvConvert(QByteArray(1, char(b)), "CP1251", "UTF-8");
            const QString expected =
                utf8.isEmpty() ? QString(QChar(0xFFFD)) : QString::fromUtf8(utf8);
            QVERIFY2(text.at(b) == expected.at(0), qPrintable(QString::number(b, 16)));
        }
        QCOMPARE(Upd::fromCp1251(QByteArrayLiteral("\xA8\xB8\xB9\x98\xC0\xFF")),
                 QStringLiteral("Ёё№\uFFFDАя"));
    }

    void decodeXml_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("cp1251");

        auto declared = [](const char *encoding) {
            return QByteArray("<?xml version=\"1.0\" encoding=") + encoding + "?>";
        };
        QTest::newRow("windows-1251") << declared("\"windows-1251\"") << true;
        QTest::newRow("upper case") << declared("\"WINDOWS-1251\"") << true;
        QTest::newRow("cp1251 in single quotes") << declared("'cp1251'") << true;
        QTest::newRow("mixed quotes") << declared("\"Cp1251'") << true;
        QTest::newRow("blanks around equals")
            << QByteArray("<?xml version='1.0' encoding \t= \"windows-1251\"?>") << true;
        QTest::newRow("koi8-r") << declared("\"KOI8-R\"") << false;
        QTest::newRow("utf-8") << declared("\"UTF-8\"") << false;
        QTest::newRow("no declaration") << QByteArray() << false;
        QTest::newRow("no encoding") << QByteArray("<?xml version=\"1.0\"?>") << false;

        // The closing quotation mark as byte 200 (still read) and as byte 201 (not read).
        const QByteArray tail = "encoding=\"windows-1251\"";
        const QByteArray start = "<?xml version=\"1.0\"";
        QTest::newRow("declaration ends at byte 200")
            << start + QByteArray(200 - start.size() - tail.size(), ' ') + tail + "?>" << true;
        QTest::newRow("declaration ends past byte 200")
            << start + QByteArray(201 - start.size() - tail.size(), ' ') + tail + "?>" << false;
    }

    void decodeXml()
    {
        QFETCH(QByteArray, head);
        QFETCH(bool, cp1251);
        const QString body = QStringLiteral("<Файл ИдФайл=\"Счёт №5 «Ёлка»\"/>");
        const QByteArray bytes = head + (cp1251 ? toCp1251(body) : body.toUtf8());
        QCOMPARE(Upd::decodeXml(bytes), QString::fromLatin1(head) + body);
    }

    void isValidInn_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("10 digits") << QStringLiteral("7712345678") << true;
        QTest::newRow("12 digits") << QStringLiteral("123456789012") << true;
        QTest::newRow("11 digits") << QStringLiteral("77123456789") << false;
        QTest::newRow("9 digits") << QStringLiteral("771234567") << false;
        QTest::newRow("a letter") << QStringLiteral("77123456A8") << false;
        QTest::newRow("leading blank") << QStringLiteral(" 7712345678") << false;
        QTest::newRow("trailing line break") << QStringLiteral("7712345678\n") << false;
        QTest::newRow("other digits") << QStringLiteral("٧٧١٢٣٤٥٦٧٨") << false;
        QTest::newRow("empty") << QString() << false;
    }

    void isValidInn()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(Upd::isValidInn(text), valid);
    }

    void innKind()
    {
        for (const char *name : {"ИННЮЛ", "ИННФЛ", "ИНН"})
            QVERIFY(Upd::innKind(QString::fromUtf8(name)));
        for (const char *name : {"инн", "ИННЮЛ ", "ИНН1", "INN", ""})
            QVERIFY(!Upd::innKind(QString::fromUtf8(name)));
    }

    void readBuyerTitle_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("ref");

        QTest::newRow("first non-empty reference is kept")
            << QStringLiteral("<Файл><Док><ИдИнфПрод ИдФайлИнфПр=\"\"/>"
                              "<ИдИнфПрод ИдФайлИнфПр=\"ON_A\"/><X><ИдИнфПрод "
                              "ИдФайлИнфПр=\"ON_B\"/></X></Док></Файл>")
            << QStringLiteral("ON_A");
        QTest::newRow("element without attribute leaves room for a later one")
            << QStringLiteral("<Файл><ИдИнфПрод/><ИдИнфПрод ИдФайлИнфПр=\"ON_B\"/></Файл>")
            << QStringLiteral("ON_B");
        QTest::newRow("element name by its local part")
            << QStringLiteral("<a:Файл xmlns:a=\"urn:x\"><a:ИдИнфПрод ИдФайлИнфПр=\"ON_C\"/>"
                              "</a:Файл>")
            << QStringLiteral("ON_C");
        QTest::newRow("attribute by its full name")
            << QStringLiteral("<Файл xmlns:a=\"urn:x\"><ИдИнфПрод a:ИдФайлИнфПр=\"ON_D\"/>"
                              "</Файл>")
            << QString();
        QTest::newRow("no reference") << QStringLiteral("<Файл ИдФайл=\"ON_E\"/>") << QString();
    }

    void readBuyerTitle()
    {
        QFETCH(QString, xml);
        QFETCH(QString, ref);
        const Upd::BuyerTitleInfo info = Upd::readBuyerTitle(xml);
        QVERIFY(info.ok);
        QCOMPARE(info.sellerFileRef, ref);
        QVERIFY(info.error.isEmpty());
    }

    void malformedTitles()
    {
        const QString prefixBuyer = QStringLiteral("Титул покупателя не разобрался как XML: ");
        const QString prefixSeller = QStringLiteral("Титул продавца не разобрался как XML: ");
        const QString truncated =
            QStringLiteral("<Файл ИдФайл=\"ON_A\"><СвПокуп ИННЮЛ=\"7712345678\"><ИдИнфПрод "
                           "ИдФайлИнфПр=\"ON_A\"/><Св");

        const Upd::BuyerTitleInfo buyer = Upd::readBuyerTitle(truncated);
        QVERIFY(!buyer.ok);
        QVERIFY2(buyer.error.startsWith(prefixBuyer), qPrintable(buyer.error));
        QVERIFY(buyer.error.size() > prefixBuyer.size());

        const Upd::SellerTitleInfo seller = Upd::readSellerTitle(truncated);
        QVERIFY(!seller.ok);
        QVERIFY2(seller.error.startsWith(prefixSeller), qPrintable(seller.error));
        QVERIFY(seller.error.size() > prefixSeller.size());
        QVERIFY(seller.buyerInns.isEmpty());

        QVERIFY(!Upd::readSellerTitle(QStringLiteral("<a></b>")).ok);
        QVERIFY(!Upd::readBuyerTitle(QString()).ok);
    }

    void readSellerTitle_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("fileId");
        QTest::addColumn<QStringList>("inns");

        auto doc = [](const char *inner) {
            return QStringLiteral("<Файл ИдФайл=\"ON_1\"><Док>%1</Док></Файл>")
                .arg(QString::fromUtf8(inner));
        };
        QTest::newRow("attribute nested inside the buyer")
            << doc("<СвПрод><ИдСв><СвЮЛУч ИННЮЛ=\"5012345678\"/></ИдСв></СвПрод>"
                   "<СвПокуп><ИдСв><СвЮЛУч НаимОрг=\"А\" ИННЮЛ=\"7712345678\"/></ИдСв></СвПокуп>")
            << QStringLiteral("ON_1") << QStringList{QStringLiteral("7712345678")};
        QTest::newRow("attribute on the buyer element itself")
            << doc("<СвПокуп ИНН=\"7712345678\"/>") << QStringLiteral("ON_1")
            << QStringList{QStringLiteral("7712345678")};
        QTest::newRow("attribute name by its local part")
            << doc("<СвПокуп xmlns:a=\"urn:x\"><X a:ИННФЛ=\"123456789012\"/></СвПокуп>")
            << QStringLiteral("ON_1") << QStringList{QStringLiteral("123456789012")};
        QTest::newRow("element text, trimmed")
            << doc("<СвПокуп><СвИП><ИННФЛ>\n  123456789012 \n</ИННФЛ></СвИП></СвПокуп>")
            << QStringLiteral("ON_1") << QStringList{QStringLiteral("123456789012")};
        QTest::newRow("element text outside the buyer")
            << doc("<СвПрод><ИННФЛ>123456789012</ИННФЛ></СвПрод><СвПокуп/>")
            << QStringLiteral("ON_1") << QStringList();
        QTest::newRow("attribute with blanks is not an INN")
            << doc("<СвПокуп><X ИННЮЛ=\" 7712345678\"/></СвПокуп>") << QStringLiteral("ON_1")
            << QStringList();
        QTest::newRow("11 digits and letters are not INNs")
            << doc("<СвПокуп><X ИННЮЛ=\"77123456789\"/><Y ИНН=\"77123456A8\"/>"
                   "<ИНН>77123456789</ИНН></СвПокуп>")
            << QStringLiteral("ON_1") << QStringList();
        QTest::newRow("other attribute names are not read")
            << doc("<СвПокуп><X КПП=\"7712345678\" инн=\"5012345678\"/></СвПокуп>")
            << QStringLiteral("ON_1") << QStringList();
        QTest::newRow("distinct and sorted")
            << doc("<СвПокуп ИННЮЛ=\"7712345678\"><X ИННЮЛ=\"7712345678\"/>"
                   "<ИННФЛ>123456789012</ИННФЛ><Y ИНН=\"5012345678\"/></СвПокуп>")
            << QStringLiteral("ON_1")
            << QStringList{QStringLiteral("123456789012"), QStringLiteral("5012345678"),
                           QStringLiteral("7712345678")};
        QTest::newRow("nested buyer parts count until the outer one closes")
            << doc("<СвПокуп><СвПокуп/><X ИННЮЛ=\"7712345678\"/></СвПокуп>"
                   "<X ИННЮЛ=\"5012345678\"/>")
            << QStringLiteral("ON_1") << QStringList{QStringLiteral("7712345678")};
        QTest::newRow("text after a child of the INN element is not read")
            << doc("<СвПокуп><ИННЮЛ><X/>7712345678</ИННЮЛ></СвПокуп>") << QStringLiteral("ON_1")
            << QStringList();
        QTest::newRow("first file id is kept")
            << QStringLiteral("<Файл><Файл ИдФайл=\"ON_2\"/><Файл ИдФайл=\"ON_3\"/></Файл>")
            << QStringLiteral("ON_2") << QStringList();
    }

    void readSellerTitle()
    {
        QFETCH(QString, xml);
        QFETCH(QString, fileId);
        QFETCH(QStringList, inns);
        const Upd::SellerTitleInfo info = Upd::readSellerTitle(xml);
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(info.fileId, fileId);
        QCOMPARE(info.buyerInns, inns);
    }

    void byteOrderMark()
    {
        const QString body =
            QStringLiteral("<?xml version=\"1.0\" encoding=\"UTF-8\"?><Файл><ИдИнфПрод "
                           "ИдФайлИнфПр=\"ON_Ё\"/></Файл>");
        const Upd::BuyerTitleInfo info =
            Upd::readBuyerTitle(Upd::decodeXml("\xEF\xBB\xBF" + body.toUtf8()));
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(info.sellerFileRef, QStringLiteral("ON_Ё"));
    }
};

QTEST_GUILESS_MAIN(TestUpdReader)
#include "tst_updreader.moc"
