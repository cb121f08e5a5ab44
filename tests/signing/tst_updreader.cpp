#include "signing/updreader.h"

#include <QStringDecoder>
#include <QStringEncoder>
#include <QTest>

using namespace Orv;

// Qt's own windows-1251 codec (there when Qt is built with ICU) is the reference for ours.
class TestUpdReader : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!QStringDecoder("windows-1251").isValid())
            QSKIP("Qt has no windows-1251 codec here to compare with");
    }

    void cp1251MatchesTheCodePage()
    {
        QByteArray all;
        for (int b = 0; b < 256; ++b)
            all.append(char(b));
        QString expected = QStringDecoder("windows-1251").decode(all);
        expected[0x98] = QChar(0xFFFD); // unassigned in the code page; the reference guesses
        QCOMPARE(Upd::fromCp1251(all), expected);
        QCOMPARE(Upd::fromCp1251("\xA8\xB8\xB9\x98\xC0\xFF"), QStringLiteral("Ёё№\uFFFDАя"));
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
        QTest::newRow("blanks around equals")
            << QByteArray("<?xml version='1.0' encoding \t= \"windows-1251\"?>") << true;
        QTest::newRow("koi8-r") << declared("\"KOI8-R\"") << false;

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
        const QByteArray bytes =
            head + (cp1251 ? QStringEncoder("windows-1251").encode(body) : body.toUtf8());
        QCOMPARE(Upd::decodeXml(bytes), QString::fromLatin1(head) + body);
    }

    void isValidInn_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("10 digits") << QStringLiteral("7712345678") << true;
        QTest::newRow("12 digits") << QStringLiteral("123456789012") << true;
        QTest::newRow("11 digits") << QStringLiteral("77123456789") << false;
        QTest::newRow("a letter") << QStringLiteral("77123456A8") << false;
        QTest::newRow("leading blank") << QStringLiteral(" 7712345678") << false;
        QTest::newRow("trailing line break") << QStringLiteral("7712345678\n") << false;
        QTest::newRow("other digits") << QStringLiteral("٧٧١٢٣٤٥٦٧٨") << false;
    }

    void isValidInn()
    {
        QFETCH(QString, text);
        QFETCH(bool, valid);
        QCOMPARE(Upd::isValidInn(text), valid);
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

    void readSellerTitle_data()
    {
        QTest::addColumn<QString>("xml");
        QTest::addColumn<QString>("fileId");
        QTest::addColumn<QString>("inns"); // joined by commas

        const auto row = [](const char *name, const char *document, const char *inns) {
            QTest::newRow(name) << QStringLiteral("<Файл ИдФайл=\"ON_1\"><Док>%1</Док></Файл>")
                                       .arg(QString::fromUtf8(document))
                                << QStringLiteral("ON_1") << QString::fromLatin1(inns);
        };
        row("attribute nested inside the buyer",
            "<СвПрод><ИдСв><СвЮЛУч ИННЮЛ=\"5012345678\"/></ИдСв></СвПрод>"
            "<СвПокуп><ИдСв><СвЮЛУч НаимОрг=\"А\" ИННЮЛ=\"7712345678\"/></ИдСв></СвПокуп>",
            "7712345678");
        row("attribute on the buyer element itself", "<СвПокуп ИНН=\"7712345678\"/>", "7712345678");
        row("attribute name by its local part",
            "<СвПокуп xmlns:a=\"urn:x\"><X a:ИННФЛ=\"123456789012\"/></СвПокуп>", "123456789012");
        row("element text, trimmed",
            "<СвПокуп><СвИП><ИННФЛ>\n  123456789012 \n</ИННФЛ></СвИП></СвПокуп>", "123456789012");
        row("element text outside the buyer",
            "<СвПрод><ИННФЛ>123456789012</ИННФЛ></СвПрод><СвПокуп/>", "");
        row("other attribute names are not read",
            "<СвПокуп><X КПП=\"7712345678\" инн=\"5012345678\"/></СвПокуп>", "");
        row("distinct and sorted",
            "<СвПокуп ИННЮЛ=\"7712345678\"><X ИННЮЛ=\"7712345678\"/>"
            "<ИННФЛ>123456789012</ИННФЛ><Y ИНН=\"5012345678\"/></СвПокуп>",
            "123456789012,5012345678,7712345678");
        row("nested buyer parts count until the outer one closes",
            "<СвПокуп><СвПокуп/><X ИННЮЛ=\"7712345678\"/></СвПокуп><X ИННЮЛ=\"5012345678\"/>",
            "7712345678");
        // The element's whole text, however it is split.
        row("around a comment", "<СвПокуп><ИННФЛ>7712345678<!-- -->99</ИННФЛ></СвПокуп>",
            "771234567899");
        row("CDATA joined", "<СвПокуп><ИННЮЛ><![CDATA[77123]]>45678</ИННЮЛ></СвПокуп>",
            "7712345678");
        QTest::newRow("first file id is kept")
            << QStringLiteral("<Файл><Файл ИдФайл=\"ON_2\"/><Файл ИдФайл=\"ON_3\"/></Файл>")
            << QStringLiteral("ON_2") << QString();
    }

    void readSellerTitle()
    {
        QFETCH(QString, xml);
        QFETCH(QString, fileId);
        QFETCH(QString, inns);
        const Upd::SellerTitleInfo info = Upd::readSellerTitle(xml);
        QVERIFY2(info.ok, qPrintable(info.error));
        QCOMPARE(info.fileId, fileId);
        QCOMPARE(info.buyerInns.join(u','), inns);
    }

    // An element inside the INN element leaves no whole text to read.
    void childOfInnElementRefusesTheDocument()
    {
        const Upd::SellerTitleInfo info = Upd::readSellerTitle(
            QStringLiteral("<Файл><СвПокуп><ИННЮЛ>77<X/>12345678</ИННЮЛ></СвПокуп></Файл>"));
        QVERIFY(!info.ok && info.buyerInns.isEmpty());
        QVERIFY(info.error.startsWith(QStringLiteral("Титул продавца не разобрался как XML:")));
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
