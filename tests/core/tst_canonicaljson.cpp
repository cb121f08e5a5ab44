#include "core/canonicaljson.h"
#include "core/util.h"

#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTest>

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

using namespace Orv;

// Expected texts and hashes come from an independent implementation (Python: keys sorted by their
// UTF-16-BE bytes, '%.17g', hashlib.sha256), not from this code.
class TestCanonicalJson : public QObject
{
    Q_OBJECT

private slots:
    void vectors_data()
    {
        QTest::addColumn<QByteArray>("json");
        QTest::addColumn<QString>("canonical");
        QTest::addColumn<QString>("sha256");

        QTest::newRow("members sorted, 1.0 an integer")
            << QByteArray(R"({ "a" : "x", "b" : 1.0 })") << QStringLiteral(R"({"a":"x","b":1})")
            << "cdab067e9f3beb32d1252cfd63e492592fecbf591b0d08cadb24bb17f3864246";
        QTest::newRow("nested")
            << QByteArray(R"({"z":[3,{"y":null,"x":true}],"A":false,"m":{},"e":[]})")
            << QStringLiteral(R"({"A":false,"e":[],"m":{},"z":[3,{"x":true,"y":null}]})")
            << "7f33f904f8d69632d57fac6469c5ca24e0fd43f08521c1f6e0e200d12a28115f";
        // U+FF21 sorts after U+1F600 by UTF-16 units (0xFF21 > 0xD83D), before it by code points.
        QTest::newRow("keys by UTF-16 units")
            << QByteArray(R"({"\uff21":1,"\ud83d\ude00":2,"a":3,"B":4,"\u00e9":5,"":6})")
            << QStringLiteral(R"({"":6,"B":4,"a":3,"é":5,"😀":2,"Ａ":1})")
            << "075c9d9b07408efe536e3e688b5762445c12aa53a434bfabdd408c318aa9f4f1";
        // Read from plain UTF-8, Qt orders these keys by code points; read from \u escapes, by
        // UTF-16 units, and either way when the two forms meet.
        QTest::newRow("keys beyond U+FFFF in plain UTF-8")
            << QByteArray("{\"\uffff\":1,\"\U0001F600\":2,\"\u00e9\":3,\"z\":4}")
            << QStringLiteral("{\"z\":4,\"\u00e9\":3,\"\U0001F600\":2,\"\uffff\":1}")
            << "67a486f6e154ebe82a255dc6cf51933c8b7d561db0ab633756fcb599f35f7f9b";
        QTest::newRow("private use against U+10000")
            << QByteArray("{\"\ue000\":1,\"\U00010000\":2}")
            << QStringLiteral("{\"\U00010000\":2,\"\ue000\":1}")
            << "9d4cdc71dda603c42f9b21d88d0c2ffc31a76cd1bd461d7359406cf169845f1e";
        QTest::newRow("keys beyond U+FFFF nested")
            << QByteArray("{\"a\":[{\"\uffff\":1,\"\U0001F600\":2}],"
                          "\"b\":{\"c\":{\"\ue000\":1,\"\U00010000\":2}}}")
            << QStringLiteral("{\"a\":[{\"\U0001F600\":2,\"\uffff\":1}],"
                              "\"b\":{\"c\":{\"\U00010000\":2,\"\ue000\":1}}}")
            << "cda4dfedc8077a48b19a349c4bbef9d87013357b0f798db53203b76d874358fc";
        QTest::newRow("escaped key against a plain one")
            << QByteArray("{\"\\uffff\":1,\"\U0001F600\":2}")
            << QStringLiteral("{\"\U0001F600\":2,\"\uffff\":1}")
            << "48c5d098713870a7b88be7fc0ffc0a79e912d20f80ea8a4a5604426f49add103";
        QTest::newRow("numbers")
            << QByteArray(
                   R"({"n":[1.0,1.25,0.1,-0.0,2e0,1e20,9007199254740993,-9223372036854775808,)"
                   R"(9223372036854775808,1e-7,0.000123,1e16,1e17,-1.5e-300,5e-324,)"
                   R"(25715720906534.3125,-2.5,1.7976931348623157e308]})")
            << QStringLiteral(
                   R"({"n":[1,1.25,0.10000000000000001,0,2,1e+20,9007199254740992,)"
                   R"(-9223372036854775808,9.2233720368547758e+18,9.9999999999999995e-08,)"
                   R"(0.00012300000000000001,10000000000000000,100000000000000000,)"
                   R"(-1.5000000000000001e-300,4.9406564584124654e-324,)"
                   R"(25715720906534.312,-2.5,1.7976931348623157e+308]})")
            << "2743acff7fa88d6dd36a1fed9c1dd1fb1e459d011aa18926d16419f0db5937e7";
        QTest::newRow("escapes")
            << QByteArray("{\"s\":\"line\\nfeed\\ttab \\\"q\\\" \\\\ / Жж \\u0001 \\u001f "
                          "\\b\\f\\r \\ud83d\\ude00\"}")
            << QStringLiteral("{\"s\":\"line\\nfeed\\ttab \\\"q\\\" \\\\ / Жж \\u0001 \\u001f "
                              "\\b\\f\\r 😀\"}")
            << "17dd37a4954edea8fa64dcd2fc61dfd1264e16460f6f5a3ec553f78e34bbcd5c";
        QTest::newRow("lone surrogates")
            << QByteArray(R"({"ls":"\ud800x","lt":"a\udc00","rev":"\ude00\ud83d","end":"\ud83d"})")
            << QStringLiteral(
                   R"({"end":"\ud83d","ls":"\ud800x","lt":"a\udc00","rev":"\ude00\ud83d"})")
            << "73ed4b00b7f3150d7a37854eb867d63d39a1207dc1af7cb806da039657377ea7";
    }

    void vectors()
    {
        QFETCH(QByteArray, json);
        QFETCH(QString, canonical);
        QFETCH(QString, sha256);
        QJsonParseError error;
        const QJsonObject payload = QJsonDocument::fromJson(json, &error).object();
        QCOMPARE(error.error, QJsonParseError::NoError);
        QCOMPARE(canonicalJsonObject(payload), canonical);
        QCOMPARE(canonicalJson(payload), canonical);
        QCOMPARE(canonicalJsonArray({payload, 1.5, QJsonValue()}), "[" + canonical + ",1.5,null]");
        QCOMPARE(canonicalJsonSha256(payload), sha256);
        // The same hash from the server's text, which is read as it stands; lone surrogates it
        // leaves to the parsed object.
        const QString fromText = canonicalMemberSha256(inTask(json), "payload");
        QCOMPARE(fromText, QTest::currentDataTag() == QByteArray("lone surrogates") ? "" : sha256);
    }

    // Read from the task's text, a payload gets the hash of the object Qt parses out of that text,
    // or none, and then the parsed object is hashed: a text read any other way could pass a
    // payload with the hash of a different one.
    void textIsReadAsQtReadsItOrNotAtAll_data()
    {
        QTest::addColumn<QByteArray>("task");
        QTest::addColumn<bool>("taken");
        const auto payload = [](const char *name, const QByteArray &json, bool taken) {
            QTest::newRow(name) << inTask(json) << taken;
        };
        payload("spaces, keys out of order", " { \"b\" :\t[ 1 , 2 ]\r\n, \"a\" : { } } ", true);
        payload("out of order deep inside", R"({"x":[{"d":1,"c":{"f":0,"e":[]}}],"a":2})", true);
        payload("escapes that need none", R"({"\u0041\/":"\u00e9\u0416\ud83d\ude00\/\u007f"})",
                true);
        payload("integers round as doubles",
                "{\"n\":[-0,123456789012345,-1234567890123456,9007199254740993,"
                "99999999999999999999,-9223372036854775809]}",
                true);
        payload("a key twice, apart", R"({"a":1,"b":2,"a":3})", false);
        payload("a key twice, adjacent", R"({"b":{"a":1,"a":1}})", false);
        payload("a key twice once unescaped", R"({"a":1,"\u0061":2})", false);
        payload("a key that needs an escape", R"({"a\nb":1})", false);
        payload("lone high surrogate", R"({"a":"\ud83dx"})", false);
        payload("lone low surrogate", R"({"a":"\ude00"})", false);
        payload("high surrogate before a plain escape", R"({"a":"\ud83d\u0041"})", false);
        // Qt takes these only by leniency.
        payload("number ending in a point", R"({"a":1.})", false);
        payload("number opening with a point", R"({"a":.5})", false);
        payload("unknown escape", R"({"a":"\x"})", false);
        payload("short \\u escape", R"({"a":"\u12z4"})", false);
        payload("raw control character", "{\"a\":\"\x01\"}", false);
        // Qt refuses these, and the task with them.
        payload("leading zero", R"({"a":01})", false);
        payload("beyond a double", R"({"a":1e400})", false);
        payload("overlong UTF-8", "{\"a\":\"\xc0\x80\"}", false);
        payload("overlong UTF-8, three bytes", "{\"a\":\"\xe0\x9f\xbf\"}", false);
        payload("overlong UTF-8, four bytes", "{\"a\":\"\xf0\x8f\xbf\xbf\"}", false);
        payload("surrogate in UTF-8", "{\"a\":\"\xed\xa0\x80\"}", false);
        payload("beyond U+10FFFF", "{\"a\":\"\xf4\x90\x80\x80\"}", false);
        payload("cut short", "{\"a\":[1,{\"b\":\"\xd0", false);
        payload("nested too deep", "{\"a\":" + QByteArray(1100, '[') + QByteArray(1100, ']') + "}",
                false);

        QTest::newRow("payload first, other members after")
            << QByteArray(R"({"payload":{"a":1},"id":"t","x":[{"y":"\u0000"}]})") << true;
        QTest::newRow("payload twice")
            << QByteArray(R"({"payload":{"a":1},"payload":{"a":2}})") << false;
        QTest::newRow("payload not an object") << QByteArray(R"({"payload":[1]})") << false;
        QTest::newRow("no payload") << QByteArray(R"({"id":"t"})") << false;
        QTest::newRow("text after the task") << QByteArray(R"({"payload":{}} x)") << false;
        QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbf{\"payload\":{}}") << false;
    }

    void textIsReadAsQtReadsItOrNotAtAll()
    {
        QFETCH(QByteArray, task);
        QFETCH(bool, taken);
        const QString fromText = canonicalMemberSha256(task, "payload");
        QCOMPARE(!fromText.isEmpty(), taken);
        if (taken)
            QCOMPARE(fromText, parsedPayloadSha256(task));
    }

    // Random payloads in the ways a server may write them, and now and then in ways Qt reads
    // differently or not at all.
    void randomTextsAgreeWithTheParsedObject()
    {
        QRandomGenerator random(17);
        int taken = 0;
        for (int i = 0; i < 4000; ++i) {
            const QByteArray task = inTask(randomObject(random, 0));
            const QString fromText = canonicalMemberSha256(task, "payload");
            if (fromText.isEmpty())
                continue;
            ++taken;
            QVERIFY2(fromText == parsedPayloadSha256(task), task.constData());
        }
        // Most of them are plain JSON that must be read from the text.
        QVERIFY2(taken > 2000, qPrintable(QString::number(taken)));
    }

    // Boundaries the vector does not reach: where %.17g turns to an exponent, and the edges of
    // the signed 64-bit range (a cast outside it would be undefined).
    void numbers_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("text");
        const double twoPow63 = std::ldexp(1.0, 63);
        QTest::newRow("1e-4 stays fixed") << 1e-4 << "0.0001";
        QTest::newRow("1e-5 goes exponent") << 1e-5 << "1.0000000000000001e-05";
        QTest::newRow("largest below 2^63") << twoPow63 - 1024 << "9223372036854774784";
        QTest::newRow("2^63") << twoPow63 << "9.2233720368547758e+18";
        QTest::newRow("below -2^63") << -twoPow63 - 2048 << "-9.2233720368547779e+18";
    }

    void numbers()
    {
        QFETCH(double, value);
        QFETCH(QString, text);
        QCOMPARE(canonicalJson(QJsonValue(value)), text);
    }

    // Fractions are printed with integer arithmetic of the agent's own; printf's "%.17g" (here
    // through to_chars) must come out for every kind of double: random bit patterns over the whole
    // range, all mantissas at the scales payloads use, short decimals, ties rounded to even,
    // the powers of ten where the form changes.
    void fractionsAgreeWithPrintf()
    {
        QRandomGenerator64 random(5);
        std::vector<double> values{1000000000000000.25, 1000000000000000.75, 0.3,     1e-5,
                                   -1e-5,               0.0001,              1e-16,   1e-17,
                                   9.9999999999999995e-17, 99999999999999.99, 0.99999999999999994};
        for (int n = -17; n <= 17; ++n) {
            const double power = std::pow(10.0, n);
            values.insert(values.end(), {std::nextafter(power, 0.0), power,
                                         std::nextafter(power, HUGE_VAL)});
        }
        for (int i = 0; i < 100000; ++i) {
            double bits;
            const quint64 pattern = random.generate();
            std::memcpy(&bits, &pattern, sizeof bits);
            values.push_back(bits);
            values.push_back(std::ldexp(double(random.generate() >> 11), random.bounded(120) - 110));
            values.push_back((random.bounded(2000000) - 1000000) / 100.0);
        }
        char expected[32];
        for (const double v : values) {
            if (!std::isfinite(v) || v == std::trunc(v))
                continue;
            const char *end =
                std::to_chars(expected, expected + 32, v, std::chars_format::general, 17).ptr;
            const QLatin1String printed(expected, end - expected);
            const QString text = canonicalJson(QJsonValue(v));
            if (text != printed)
                QFAIL(qPrintable(text + QStringLiteral(" instead of ") + printed));
        }
    }

    // Long texts are written and hashed in pieces: nothing may change where a piece ends, in the
    // middle of a surrogate pair, a run of escapes or a long array.
    void longPayloadsHashTheirText_data()
    {
        QTest::addColumn<QJsonObject>("payload");
        const QString pair = QStringLiteral("😀");
        const QString high(QChar(0xd83d));
        const auto at = [](qsizetype offset, const QString &middle) {
            return QString(offset, u'a') + middle + QString(5000, u'b');
        };
        QTest::newRow("pair across the first piece") << QJsonObject{{"s", at(4095, pair)}};
        QTest::newRow("lone high surrogate ending a piece") << QJsonObject{{"s", at(4095, high)}};
        QTest::newRow("high surrogates before a pair")
            << QJsonObject{{"s", at(4094, high + high + pair)}};
        QTest::newRow("escapes past a chunk")
            << QJsonObject{{"s", QString(30000, u'"') + QString(30000, QChar(0x1f))}};
        QJsonArray numbers;
        QJsonObject members;
        for (int i = 0; i < 20000; ++i) {
            numbers.append(i + 0.5);
            members.insert(QStringLiteral("k%1").arg(i), QStringLiteral("Ж\\%1").arg(i));
        }
        QTest::newRow("numbers past a chunk") << QJsonObject{{"n", numbers}};
        QTest::newRow("members past a chunk") << members;
    }

    void longPayloadsHashTheirText()
    {
        QFETCH(QJsonObject, payload);
        const QString text = canonicalJsonObject(payload);
        QCOMPARE(text, qtWritten(payload));
        QCOMPARE(canonicalJsonSha256(payload), sha256Hex(text.toUtf8()));
    }

    // The string form is that of the Qt JSON writer; check every UTF-16 unit against it, alone,
    // between letters, and paired with each kind of neighbour; ASCII also at each place of a run
    // of plain letters, which is copied several units at a time.
    void quoteMatchesQtWriter()
    {
        for (int u = 0; u < 0x100; ++u) {
            for (int offset = 0; offset < 4; ++offset) {
                const QString text = QString(offset, u'a') + QChar(u) + QString(9, u'b');
                if (jsonQuote(text) != qtQuote(text))
                    QFAIL(qPrintable(QStringLiteral("differs at U+%1 in place %2")
                                         .arg(u, 4, 16, QChar(u'0'))
                                         .arg(offset)));
            }
        }
        const QString neighbours[] = {QStringLiteral("a"), QString(QChar(0xd83d)),
                                      QString(QChar(0xde00)), QStringLiteral("Ж"),
                                      QStringLiteral("😀")};
        for (int u = 0; u <= 0xffff; ++u) {
            const QString c{QChar(char16_t(u))};
            for (const QString &n : neighbours) {
                for (const QString &text : {c, QString(n + c), QString(c + n)}) {
                    if (jsonQuote(text) != qtQuote(text))
                        QFAIL(qPrintable(QStringLiteral("differs at U+%1 next to U+%2")
                                             .arg(u, 4, 16, QChar(u'0'))
                                             .arg(n.at(0).unicode(), 4, 16, QChar(u'0'))));
                }
            }
        }
    }

private:
    static QByteArray inTask(const QByteArray &payload)
    {
        return R"({"id":"t","type":"chz.document","payload":)" + payload + "}";
    }

    static QString parsedPayloadSha256(const QByteArray &task)
    {
        QJsonParseError error;
        const QJsonObject object = QJsonDocument::fromJson(task, &error).object();
        return error.error == QJsonParseError::NoError
                   ? canonicalJsonSha256(object.value(QLatin1String("payload")).toObject())
                   : QStringLiteral("not JSON to Qt");
    }

    template<std::size_t N> static QByteArray pick(QRandomGenerator &random, const char *(&from)[N])
    {
        return from[random.bounded(int(N))];
    }

    static QByteArray randomSpace(QRandomGenerator &random)
    {
        static const char *spaces[] = {"", "", "", "", " ", "\n", "\t\r "};
        return pick(random, spaces);
    }

    static QByteArray randomString(QRandomGenerator &random, bool key)
    {
        static const char *keys[] = {"a", "b", "B", "aa", "", "k1", "k2", "k3", "k4", "k5",
                                     "\u00e9", "\xc3\xa9x", "\xd0\x96", "\xee\x80\x80",
                                     "\xef\xbf\xbf", "\xf0\x9f\x98\x80", "\xf0\x90\x80\x80",
                                     "\\u0062c", "\\ud83d\\ude00", "\\uffff"};
        static const char *pieces[] = {"text", "Ж\xd0\xb6 ", "\xe2\x84\x96", "\xf0\x9f\x98\x80",
                                       "\\n", "\\\"", "\\\\", "\\/", "\\u001f", "\\u00e9",
                                       "\\ud83d\\ude00", "\x7f", "0123456789abcdef",
                                       "\\ud800", "\\x"};
        QByteArray text = "\"";
        if (key)
            return text + pick(random, keys) + '"';
        for (int n = random.bounded(4); n > 0; --n)
            text += pieces[random.bounded(int(std::size(pieces)) - (random.bounded(20) ? 2 : 0))];
        return text + '"';
    }

    static QByteArray randomValue(QRandomGenerator &random, int depth)
    {
        static const char *scalars[] = {
            "0", "-0", "1", "-17", "1.5", "1.07", "0.1", "-2.5e+3", "1E-7", "1e5", "5e-324",
            "123456789012345", "1234567890123456", "9007199254740993", "-9223372036854775808",
            "9223372036854775807", "18446744073709551616", "1.7976931348623157e308", "-0.0",
            "true", "false", "null", "1e400", "01", "1."};
        switch (random.bounded(depth < 3 ? 6 : 4)) {
        case 0:
        case 1:
            return randomString(random, false);
        case 2:
        case 3:
            // The last three only now and then.
            return scalars[random.bounded(int(std::size(scalars)) - (random.bounded(20) ? 3 : 0))];
        case 4: {
            QByteArray array = "[" + randomSpace(random);
            for (int n = random.bounded(4); n > 0; --n)
                array += randomValue(random, depth + 1) + randomSpace(random) + (n > 1 ? "," : "");
            return array + "]";
        }
        default:
            return randomObject(random, depth + 1);
        }
    }

    static QByteArray randomObject(QRandomGenerator &random, int depth)
    {
        QByteArray object = "{" + randomSpace(random);
        for (int n = random.bounded(5); n > 0; --n) {
            object += randomString(random, true) + randomSpace(random) + ":" + randomSpace(random) +
                      randomValue(random, depth) + randomSpace(random) + (n > 1 ? "," : "");
        }
        return object + "}";
    }

    static QString qtQuote(const QString &text)
    {
        const QByteArray array = QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact);
        return QString::fromUtf8(array.mid(1, array.size() - 2));
    }

    // The canonical text of payloads whose numbers the Qt writer prints the same way.
    static QString qtWritten(const QJsonObject &payload)
    {
        return QString::fromUtf8(QJsonDocument(payload).toJson(QJsonDocument::Compact));
    }
};

QTEST_GUILESS_MAIN(TestCanonicalJson)
#include "tst_canonicaljson.moc"
