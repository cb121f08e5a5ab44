#include "utmhost/payloaddownloader.h"

#include "core/util.h"
#include "tests/support/fakeparvisserver.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;

namespace {

const QString kDigest = QString(64, u'a');
const QString kBadDigest = QStringLiteral("sha256 payload.bin не совпал с описанием — файл удалён");

// What the callbacks of one call received.
struct Outcome
{
    bool done = false;
    bool ok = false;
    QString error;
    QByteArray body;
    QList<qint64> progress;
};

QJsonObject fileEntry(const QString &file, const QJsonValue &size = 10)
{
    return {{"file", file}, {"sha256", kDigest}, {"size", size}};
}

QJsonObject validManifest()
{
    QJsonObject rootfs = fileEntry(QStringLiteral("rootfs.tar.gz"));
    rootfs.insert("version", "");
    QJsonObject image = fileEntry(QStringLiteral("images/utm-4.2.tar"));
    image.insert("ref", "localhost/utm-runtime:4.2");
    QJsonObject mock = fileEntry(QStringLiteral("https://cdn.example.org/m/mock.tar"));
    mock.insert("ref", "localhost/utm-mock:1");
    return {{"format", 1}, {"rootfs", rootfs}, {"image", image}, {"mock", mock}};
}

// `manifest` with `value` at `key` of its member `entry` (the manifest itself when empty).
QByteArray changed(const QString &entry, const QString &key, const QJsonValue &value)
{
    QJsonObject manifest = validManifest();
    if (entry.isEmpty()) {
        manifest.insert(key, value);
    } else {
        QJsonObject object = manifest.value(entry).toObject();
        object.insert(key, value);
        manifest.insert(entry, object);
    }
    return QJsonDocument(manifest).toJson();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(missing)");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), content.size());
}

} // namespace

Q_DECLARE_METATYPE(Orv::Test::FakeAnswer)

class TestPayloadDownloader : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeParvisServer> m_server;
    QNetworkAccessManager m_network;
    std::unique_ptr<PayloadDownloader> m_downloader;
    std::unique_ptr<QTemporaryDir> m_dir;

    QString target() const { return m_dir->filePath(QStringLiteral("payload.bin")); }

    PayloadFile served(const QByteArray &content, const FakeAnswer &answer)
    {
        m_server->setAnswer("GET", QStringLiteral("/files/payload.bin"), answer);
        return {QUrl(m_server->baseUrl() + QStringLiteral("/files/payload.bin")),
                QStringLiteral("payload.bin"), sha256Hex(content), content.size()};
    }

    std::shared_ptr<Outcome> download(const PayloadFile &file)
    {
        auto outcome = std::make_shared<Outcome>();
        m_downloader->download(
            file, target(), [outcome](qint64 received, qint64) { outcome->progress << received; },
            [outcome](bool ok, const QString &error) {
                QVERIFY(!outcome->done);
                *outcome = {true, ok, error, {}, outcome->progress};
            });
        return outcome;
    }

    std::shared_ptr<Outcome> fetchManifest()
    {
        auto outcome = std::make_shared<Outcome>();
        m_downloader->fetchManifest(
            QUrl(m_server->baseUrl() + QStringLiteral("/manifest.json")),
            [outcome](bool ok, const QByteArray &body, const QString &error) {
                QVERIFY(!outcome->done);
                *outcome = {true, ok, error, body, {}};
            });
        return outcome;
    }

private slots:
    void init()
    {
        m_server = std::make_unique<FakeParvisServer>();
        m_downloader = std::make_unique<PayloadDownloader>(&m_network);
        m_dir = std::make_unique<QTemporaryDir>();
    }

    void cleanup()
    {
        m_downloader.reset();
        m_server.reset();
        m_dir.reset();
    }

    void parseErrors_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("error");
        const QString format =
            QStringLiteral("описание нагрузки не в формате 1 — обновите TELLVANE FERROW");
        const QString name = QStringLiteral("в описании нагрузки неверное имя файла");
        const QString rootfsFigures =
            QStringLiteral("в описании нагрузки у rootfs.tar.gz нет sha256 или размера");
        QTest::newRow("format 2") << changed({}, "format", 2) << format;
        QTest::newRow("format as text") << changed({}, "format", "1") << format;
        QTest::newRow("format missing") << changed({}, "format", QJsonValue()) << format;
        QTest::newRow("not JSON") << QByteArray("{\"format\": 1") << format;
        QTest::newRow("array") << QByteArray("[{\"format\": 1}]") << format;
        QTest::newRow("name starts with a dot") << changed("rootfs", "file", ".rootfs") << name;
        QTest::newRow("name of 122") << changed("image", "file", QString(122, u'a')) << name;
        QTest::newRow("name with a line feed") << changed("image", "file", "a%0A") << name;
        QTest::newRow("digest of 63")
            << changed("rootfs", "sha256", kDigest.left(63)) << rootfsFigures;
        QTest::newRow("digest with a line feed")
            << changed("rootfs", "sha256", kDigest + u'\n') << rootfsFigures;
        QTest::newRow("size 0") << changed("rootfs", "size", 0) << rootfsFigures;
        QTest::newRow("size negative") << changed("rootfs", "size", -5) << rootfsFigures;
        QTest::newRow("size as text") << changed("rootfs", "size", "10") << rootfsFigures;
        QTest::newRow("size beyond any file") << changed("rootfs", "size", 1e19) << rootfsFigures;
        QTest::newRow("image ref") << changed("image", "ref", "Localhost/UTM")
                                   << QStringLiteral("в описании нагрузки неверное имя образа");
        QTest::newRow("mock ref") << changed("mock", "ref", "localhost/utm-mock:1\n")
                                  << QStringLiteral(
                                         "в описании нагрузки неверное имя тестового УТМ");
        QTest::newRow("two files of one name")
            << changed("mock", "file", "other/UTM-4.2.tar")
            << QStringLiteral("в описании нагрузки два файла с именем UTM-4.2.tar");
        QTest::newRow("valid") << changed({}, "extra", true) << QString();
        QTest::newRow("name of 121") << changed("image", "file", QString(121, u'a')) << QString();
        QTest::newRow("largest size") << changed("rootfs", "size", 9007199254740992.0) << QString();
    }

    void parseErrors()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        PayloadManifest manifest;
        QString got;
        QCOMPARE(
            PayloadDownloader::parseManifest(
                body, QUrl("https://host.example/ferrow/utmhost/manifest.json"), &manifest, &got),
            error.isEmpty());
        QCOMPARE(got, error);
    }

    // Names resolve against the manifest's folder, a bare one and one below it alike; an
    // absolute address stays. Anything but an object for "mock" means there is none.
    void parseFields()
    {
        const QUrl url("https://host.example/ferrow/utmhost/manifest.json");
        QJsonObject object = validManifest();
        QJsonObject rootfs = object.value("rootfs").toObject();
        rootfs.insert("sha256", kDigest.toUpper());
        rootfs.insert("size", 12345.9);
        object.insert("rootfs", rootfs);
        PayloadManifest manifest;
        QString error;
        QVERIFY(PayloadDownloader::parseManifest(QJsonDocument(object).toJson(), url, &manifest,
                                                 &error));
        QCOMPARE(manifest.rootfs.url, QUrl("https://host.example/ferrow/utmhost/rootfs.tar.gz"));
        QCOMPARE(manifest.rootfs.sha256, kDigest);
        QCOMPARE(manifest.rootfs.size, 12345);
        QCOMPARE(manifest.version, QString());
        QCOMPARE(manifest.image.url,
                 QUrl("https://host.example/ferrow/utmhost/images/utm-4.2.tar"));
        QCOMPARE(manifest.image.name, QStringLiteral("utm-4.2.tar"));
        QCOMPARE(manifest.imageRef, QStringLiteral("localhost/utm-runtime:4.2"));
        QCOMPARE(manifest.mock.url, QUrl("https://cdn.example.org/m/mock.tar"));
        QCOMPARE(manifest.mock.name, QStringLiteral("mock.tar"));
        QCOMPARE(manifest.mockRef, QStringLiteral("localhost/utm-mock:1"));

        for (const QJsonValue &mock :
             {QJsonValue(), QJsonValue(QJsonValue::Null), QJsonValue("x")}) {
            object.insert("mock", mock); // undefined removes it
            QVERIFY(PayloadDownloader::parseManifest(QJsonDocument(object).toJson(), url, &manifest,
                                                     &error));
            QCOMPARE(manifest.mock.name, QString());
            QCOMPARE(manifest.mockRef, QString());
        }
    }

    // Only a whole 200 answer of at most 64 KiB is a manifest; a longer one is refused while it
    // arrives, without waiting for its end.
    void fetch_data()
    {
        QTest::addColumn<FakeAnswer>("answer");
        QTest::addColumn<QString>("error");
        const QByteArray limit(65536, 'x');
        const QString tooLong = QStringLiteral("описание нагрузки больше 65536 байт");
        QTest::newRow("64 KiB") << FakeAnswer::raw(200, limit) << QString();
        QTest::newRow("one byte more") << FakeAnswer::raw(200, limit + 'x') << tooLong;
        QTest::newRow("never ends") << FakeAnswer::stall(200, limit + limit + limit) << tooLong;
        QTest::newRow("404") << FakeAnswer::raw(404, "{}")
                             << QStringLiteral("127.0.0.1 ответил 404");
        QTest::newRow("204") << FakeAnswer::empty(204) << QStringLiteral("127.0.0.1 ответил 204");
    }

    void fetch()
    {
        QFETCH(FakeAnswer, answer);
        QFETCH(QString, error);
        m_server->setAnswer("GET", "/manifest.json", answer);
        const auto outcome = fetchManifest();
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 10000);
        QCOMPARE(outcome->error, error);
        QCOMPARE(outcome->ok, error.isEmpty());
        if (answer.status == 200)
            QCOMPARE(outcome->body, answer.body.left(65536));
    }

    void downloads()
    {
        const QByteArray content = QByteArray(300000, 'p') + "end";
        const auto outcome = download(served(content, FakeAnswer::raw(200, content)));
        QTRY_VERIFY(outcome->done);
        QVERIFY2(outcome->ok, qPrintable(outcome->error));
        QCOMPARE(readAll(target()), content);
        QCOMPARE(readAll(target() + ".sha256"), sha256Hex(content).toLatin1());
        QVERIFY(!QFile::exists(target() + ".part"));
        QVERIFY(!outcome->progress.isEmpty());
        QVERIFY(std::is_sorted(outcome->progress.begin(), outcome->progress.end()));
        QVERIFY(outcome->progress.last() <= content.size());
    }

    // A failed download removes its .part and the old mark, and leaves an earlier file alone.
    void failures_data()
    {
        QTest::addColumn<FakeAnswer>("answer");
        QTest::addColumn<qint64>("announced");
        QTest::addColumn<QString>("error"); // empty: the network layer's own text
        const QByteArray content(5000, 'n');
        QByteArray altered = content;
        altered[4000] = 'X';
        QTest::newRow("wrong bytes") << FakeAnswer::raw(200, altered) << qint64(5000) << kBadDigest;
        QTest::newRow("one byte more") << FakeAnswer::raw(200, content + 'n') << qint64(5000)
                                       << QStringLiteral("payload.bin больше заявленного размера");
        QTest::newRow("one byte less") << FakeAnswer::raw(200, content.left(4999)) << qint64(5000)
                                       << QStringLiteral("payload.bin скачан не целиком");
        QTest::newRow("endless stream")
            << FakeAnswer::stall(200, QByteArray(2000000, 'n')) << qint64(5000)
            << QStringLiteral("payload.bin больше заявленного размера");
        QTest::newRow("404") << FakeAnswer::raw(404, content) << qint64(5000)
                             << QStringLiteral("127.0.0.1 ответил 404");
        QTest::newRow("206") << FakeAnswer::raw(206, content) << qint64(5000)
                             << QStringLiteral("127.0.0.1 ответил 206");
        QTest::newRow("connection lost")
            << FakeAnswer::cutOff(200, content) << qint64(5000) << QString();
    }

    void failures()
    {
        QFETCH(FakeAnswer, answer);
        QFETCH(qint64, announced);
        QFETCH(QString, error);
        writeFile(target(), "earlier");
        writeFile(target() + ".sha256", sha256Hex("earlier").toLatin1());
        PayloadFile file = served(QByteArray(5000, 'n'), answer);
        file.size = announced;
        const auto outcome = download(file);
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 10000);
        QVERIFY(!outcome->ok);
        if (error.isEmpty())
            QVERIFY(!outcome->error.isEmpty());
        else
            QCOMPARE(outcome->error, error);
        QCOMPARE(readAll(target()), QByteArray("earlier"));
        QVERIFY(!QFile::exists(target() + ".sha256"));
        QVERIFY(!QFile::exists(target() + ".part"));
    }

    // A file whose size and mark match is complete: no request, done within the call. Any
    // difference fetches it again from the start.
    void skip_data()
    {
        QTest::addColumn<QByteArray>("onDisk");
        QTest::addColumn<QByteArray>("mark"); // "-": none
        QTest::addColumn<bool>("fetched");
        const QByteArray content = "payload";
        const QByteArray digest = sha256Hex(content).toLatin1();
        QTest::newRow("complete") << content << digest << false;
        QTest::newRow("mark with a line end") << content << digest + "\r\n" << false;
        QTest::newRow("other size") << content + "!" << digest << true;
        QTest::newRow("no mark") << content << QByteArray("-") << true;
        QTest::newRow("other mark") << content << QByteArray(kDigest.toLatin1()) << true;
    }

    void skip()
    {
        QFETCH(QByteArray, onDisk);
        QFETCH(QByteArray, mark);
        QFETCH(bool, fetched);
        writeFile(target(), onDisk);
        if (mark != "-")
            writeFile(target() + ".sha256", mark);
        const auto outcome = download(served("payload", FakeAnswer::raw(200, "payload")));
        QCOMPARE(outcome->done, !fetched);
        QTRY_VERIFY(outcome->done);
        QVERIFY(outcome->ok);
        QCOMPARE(m_server->requests().size(), fetched ? 1 : 0);
        QCOMPARE(outcome->progress.isEmpty(), !fetched);
        QCOMPARE(readAll(target()), QByteArray("payload"));
    }

    void partNotWritable()
    {
        PayloadFile file = served("x", FakeAnswer::raw(200, "x"));
        auto outcome = std::make_shared<Outcome>();
        m_downloader->download(file, m_dir->filePath("missing/payload.bin"), {},
                               [outcome](bool ok, const QString &error) {
                                   *outcome = {true, ok, error, {}, {}};
                               });
        QVERIFY(outcome->done);
        QVERIFY(!outcome->ok);
        QVERIFY(outcome->error.startsWith("не удалось записать " + m_dir->path()));
        QVERIFY(m_server->requests().isEmpty());
    }

    // The last data is written only when the file is flushed: a full disk then must fail the
    // download, not leave a file marked verified.
    void diskFullAtTheEnd()
    {
        if (!QFile::exists("/dev/full"))
            QSKIP("no /dev/full on this system to play a full disk");
        QVERIFY(QFile::link("/dev/full", target() + ".part"));
        const auto outcome =
            download(served("small payload", FakeAnswer::raw(200, "small payload")));
        QTRY_VERIFY(outcome->done);
        QVERIFY(!outcome->ok);
        QVERIFY2(outcome->error.startsWith("не удалось записать"), qPrintable(outcome->error));
        QVERIFY(!QFileInfo::exists(target()));
        QVERIFY(!QFile::exists(target() + ".sha256"));
    }

    // An aborted download or manifest request, or one the downloader's end cuts short, completes
    // as failed and leaves no partial file.
    void abortEndsTransfer()
    {
        const QByteArray content(400000, 'a');
        const auto outcome = download(served(content, FakeAnswer::stall(200, content)));
        QTRY_VERIFY(!outcome->progress.isEmpty());
        m_downloader->abort();
        QVERIFY(outcome->done);
        QVERIFY(!outcome->ok);
        QVERIFY(!QFile::exists(target() + ".part"));

        m_server->setAnswer("GET", "/manifest.json", FakeAnswer::never());
        const auto manifest = fetchManifest();
        QTRY_COMPARE(m_server->requests().size(), 2);
        m_downloader.reset();
        QVERIFY(manifest->done);
        QVERIFY(!manifest->ok);
    }
};

QTEST_GUILESS_MAIN(TestPayloadDownloader)
#include "tst_payloaddownloader.moc"
