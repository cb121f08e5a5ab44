#include "utmhost/payloaddownloader.h"

#include "core/util.h"
#include "tests/support/fakeparvisserver.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

#include <signal.h>
#include <sys/resource.h>

using namespace Orv;
using Orv::Test::FakeAnswer;
using Orv::Test::FakeParvisServer;

namespace {

const QString kDigest(64, u'a');
const QByteArray kContent = QByteArray(300000, 'p') + "end";

// A valid manifest with `value` set at `key` of its member `entry` (of itself when empty);
// an undefined value removes the key.
QByteArray manifestWith(const QString &entry = {}, const QString &key = {},
                        const QJsonValue &value = {})
{
    const auto file = [](const char *name, const char *ref) {
        return QJsonObject{{"file", name}, {"sha256", kDigest}, {"size", 10}, {"ref", ref}};
    };
    QJsonObject manifest{
        {"format", 1},
        {"rootfs",
         QJsonObject{
             {"file", "rootfs.tar.gz"}, {"sha256", kDigest}, {"size", 10}, {"version", ""}}},
        {"image", file("images/utm-4.2.tar", "localhost/utm-runtime:4.2")},
        {"mock", file("https://cdn.example.org/m/mock.tar", "localhost/utm-mock:1")}};
    QJsonObject object = entry.isEmpty() ? manifest : manifest.value(entry).toObject();
    object.insert(key.isEmpty() ? QStringLiteral("x") : key, value);
    if (!entry.isEmpty())
        manifest.insert(entry, object);
    return QJsonDocument(entry.isEmpty() ? object : manifest).toJson();
}

QByteArray contentOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

void writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(content) == content.size());
}

} // namespace

Q_DECLARE_METATYPE(Orv::Test::FakeAnswer)

namespace Orv {

class TestPayloadDownloader : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<FakeParvisServer> m_server;
    QNetworkAccessManager m_network;
    std::unique_ptr<PayloadDownloader> m_downloader;
    std::unique_ptr<QTemporaryDir> m_dir;
    const QUrl m_manifestUrl{"https://host.example/ferrow/utmhost/manifest.json"};
    // What the callbacks of the latest call received.
    int m_completions = 0;
    bool m_ok = false;
    QString m_error;
    QByteArray m_body;
    int m_progressCalls = 0;

    QString target() const { return m_dir->filePath(QStringLiteral("payload.bin")); }

    // Downloads `kContent` to `path`, `answer` being what the server sends.
    void download(const FakeAnswer &answer, const QString &path)
    {
        m_server->setAnswer("GET", "/files/payload.bin", answer);
        const PayloadFile file{QUrl(m_server->baseUrl() + "/files/payload.bin"), "payload.bin",
                               sha256Hex(kContent), kContent.size()};
        m_downloader->download(
            file, path,
            [this](qint64 received, qint64 total) {
                QVERIFY(received <= total && total == kContent.size());
                ++m_progressCalls;
            },
            [this](bool ok, const QString &error) { complete(ok, error); });
    }

    void complete(bool ok, const QString &error, const QByteArray &body = {})
    {
        ++m_completions;
        m_ok = ok;
        m_error = error;
        m_body = body;
    }

    // Answers are let go once read, whatever became of them: the host lives as long as the
    // program.
    void repliesAreLetGo()
    {
        QTRY_VERIFY(m_network.findChildren<QNetworkReply *>().isEmpty());
    }

    // Fetches the manifest from `url`, by default the fake server's.
    void fetchManifest(QUrl url = {})
    {
        if (url.isEmpty())
            url = QUrl(m_server->baseUrl() + "/manifest.json");
        m_downloader->fetchManifest(url,
                                    [this](bool ok, const QByteArray &body, const QString &error) {
                                        complete(ok, error, body);
                                    });
    }

private slots:
    void init()
    {
        m_server = std::make_unique<FakeParvisServer>();
        m_downloader = std::make_unique<PayloadDownloader>(&m_network);
        m_dir = std::make_unique<QTemporaryDir>();
        m_completions = m_progressCalls = 0;
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
        const QString format = "описание нагрузки не в формате 1 — обновите TELLVANE FERROW";
        const QString name = "в описании нагрузки неверное имя файла";
        const QString figures = "в описании нагрузки у rootfs.tar.gz нет sha256 или размера";
        QTest::newRow("format 2") << manifestWith({}, "format", 2) << format;
        QTest::newRow("array") << QByteArray("[{\"format\": 1}]") << format;
        QTest::newRow("not JSON") << QByteArray("{\"format\": 1") << format;
        QTest::newRow("name starts with a dot") << manifestWith("rootfs", "file", ".r") << name;
        QTest::newRow("name of 122") << manifestWith("image", "file", QString(122, 'a')) << name;
        QTest::newRow("name ends in a line feed") << manifestWith("image", "file", "a%0A") << name;
        QTest::newRow("a download's name") << manifestWith("image", "file", "utm.tar.PART") << name;
        QTest::newRow("a mark's name") << manifestWith("mock", "file", "m.tar.sha256") << name;
        const QString notHttp = "в описании нагрузки у r.tar адрес не http и не https";
        QTest::newRow("a local file") << manifestWith("rootfs", "file", "file:///r.tar") << notHttp;
        QTest::newRow("a drive path") << manifestWith("rootfs", "file", "C:/p/r.tar") << notHttp;
        QTest::newRow("a share") << manifestWith("rootfs", "file", "file://pc/s/r.tar")
                                 << "в описании нагрузки r.tar лежит на другом компьютере";
        QTest::newRow("digest of 63")
            << manifestWith("rootfs", "sha256", kDigest.left(63)) << figures;
        QTest::newRow("digest ends in a line feed")
            << manifestWith("rootfs", "sha256", kDigest + '\n') << figures;
        QTest::newRow("size 0") << manifestWith("rootfs", "size", 0) << figures;
        QTest::newRow("size beyond 2^53") << manifestWith("rootfs", "size", 1e19) << figures;
        // The host knows its images only by the prefixes of their names.
        const QString image = "в описании нагрузки неверное имя образа";
        const QString mock = "в описании нагрузки неверное имя тестового УТМ";
        QTest::newRow("image ref") << manifestWith("image", "ref", "Localhost/UTM") << image;
        QTest::newRow("image ref elsewhere") << manifestWith("image", "ref", "localhost/utm:2.0")
                                             << image;
        QTest::newRow("image ref of the mock")
            << manifestWith("image", "ref", "localhost/utm-mock:2.0") << image;
        QTest::newRow("image ref without a tag")
            << manifestWith("image", "ref", "localhost/utm-runtime:") << image;
        QTest::newRow("mock ref") << manifestWith("mock", "ref", "localhost/m:1\n") << mock;
        QTest::newRow("mock ref elsewhere") << manifestWith("mock", "ref", "localhost/m:1")
                                            << mock;
        QTest::newRow("mock ref of the УТМ")
            << manifestWith("mock", "ref", "localhost/utm-runtime:1") << mock;
        QTest::newRow("two files of one name")
            << manifestWith("mock", "file", "other/UTM-4.2.tar")
            << "в описании нагрузки два файла с именем UTM-4.2.tar";
        QTest::newRow("name of 121")
            << manifestWith("image", "file", QString(121, 'a')) << QString();
        QTest::newRow("mock as text") << manifestWith({}, "mock", "x") << QString();
        QTest::newRow("size 2^53")
            << manifestWith("rootfs", "size", 9007199254740992.0) << QString();
    }

    void parseErrors()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, error);
        PayloadManifest manifest;
        QString got;
        QCOMPARE(PayloadDownloader::parseManifest(body, m_manifestUrl, &manifest, &got),
                 error.isEmpty());
        QCOMPARE(got, error);
    }

    // Names resolve against the manifest's folder, bare or below it; an absolute address
    // stays.
    void parseFields()
    {
        PayloadManifest m;
        QString error;
        QVERIFY(PayloadDownloader::parseManifest(
            manifestWith("rootfs", "sha256", kDigest.toUpper()), m_manifestUrl, &m, &error));
        QCOMPARE(m.rootfs.url, QUrl("https://host.example/ferrow/utmhost/rootfs.tar.gz"));
        QCOMPARE(m.rootfs.sha256, kDigest);
        QCOMPARE(m.rootfs.size, 10);
        QCOMPARE(m.image.url, QUrl("https://host.example/ferrow/utmhost/images/utm-4.2.tar"));
        QCOMPARE(m.image.name, QStringLiteral("utm-4.2.tar"));
        QCOMPARE(m.imageRef, QStringLiteral("localhost/utm-runtime:4.2"));
        QCOMPARE(m.mock.url, QUrl("https://cdn.example.org/m/mock.tar"));
        QCOMPARE(m.mockRef, QStringLiteral("localhost/utm-mock:1"));
        // Local files, but no share, for a manifest that is a local file itself.
        const QUrl local("file:///srv/m/manifest.json");
        QVERIFY(PayloadDownloader::parseManifest(manifestWith(), local, &m, &error));
        QCOMPARE(m.rootfs.url, QUrl("file:///srv/m/rootfs.tar.gz"));
        QVERIFY(!PayloadDownloader::parseManifest(
            manifestWith("rootfs", "file", "file:////pc/s/r.tar"), local, &m, &error));
    }

    // Only a whole 200 answer of at most 64 KiB is a manifest; a longer one is refused while it
    // arrives, without waiting for its end.
    void fetch_data()
    {
        QTest::addColumn<FakeAnswer>("answer");
        QTest::addColumn<QString>("error");
        const QByteArray limit(65536, 'x');
        const QString tooLong = "описание нагрузки больше 65536 байт";
        QTest::newRow("64 KiB") << FakeAnswer::raw(200, limit) << QString();
        QTest::newRow("one byte more") << FakeAnswer::raw(200, limit + 'x') << tooLong;
        QTest::newRow("never ends") << FakeAnswer::stall(200, limit + limit + limit) << tooLong;
        QTest::newRow("204") << FakeAnswer::empty(204) << "127.0.0.1 ответил 204";
        QTest::newRow("falls silent")
            << FakeAnswer::stall(200, limit + limit) << "сервер перестал присылать данные";
    }

    void fetch()
    {
        QFETCH(FakeAnswer, answer);
        QFETCH(QString, error);
        m_server->setAnswer("GET", "/manifest.json", answer);
        m_downloader->m_quietMs = 300;
        fetchManifest();
        QTRY_COMPARE_WITH_TIMEOUT(m_completions, 1, 10000);
        QCOMPARE(m_error, error);
        QCOMPARE(m_ok, error.isEmpty());
        QCOMPARE(m_body, answer.status == 200 ? answer.body.left(65536) : QByteArray());
        repliesAreLetGo();
    }

    // A manifest may also come from a local file, whose answer carries no HTTP status.
    void fetchLocalFile()
    {
        writeFile(m_dir->filePath("manifest.json"), "{}");
        fetchManifest(QUrl::fromLocalFile(m_dir->filePath("manifest.json")));
        QTRY_COMPARE(m_completions, 1);
        QVERIFY2(m_ok && m_body == "{}", qPrintable(m_error));
    }

    // A good download replaces an earlier file and marks it verified; a failed one leaves the
    // earlier file alone, without its mark and without a .part file. A file already there with
    // its mark is complete: no request, done within the call.
    void download_data()
    {
        QTest::addColumn<QByteArray>("earlier"); // on disk, with its mark when `marked`
        QTest::addColumn<bool>("marked");
        QTest::addColumn<FakeAnswer>("answer");
        QTest::addColumn<QString>("error"); // "*": the network layer's own text
        const QByteArray old = "earlier";
        QByteArray altered = kContent;
        altered[4000] = 'X';
        const FakeAnswer good = FakeAnswer::raw(200, kContent);
        QTest::newRow("good") << old << true << good << QString();
        QTest::newRow("complete") << kContent << true << FakeAnswer::never() << QString();
        QTest::newRow("complete, no mark") << kContent << false << good << QString();
        QTest::newRow("wrong bytes") << old << true << FakeAnswer::raw(200, altered)
                                     << "sha256 payload.bin не совпал с описанием — файл удалён";
        QTest::newRow("one byte more") << old << true << FakeAnswer::raw(200, kContent + 'n')
                                       << "payload.bin больше заявленного размера";
        QTest::newRow("endless") << old << true
                                 << FakeAnswer::stall(200, kContent + kContent + kContent)
                                 << "payload.bin больше заявленного размера";
        QTest::newRow("one byte less") << old << true << FakeAnswer::raw(200, kContent.chopped(1))
                                       << "payload.bin скачан не целиком";
        QTest::newRow("404") << old << true << FakeAnswer::raw(404, kContent)
                             << "127.0.0.1 ответил 404";
        QTest::newRow("connection lost") << old << true << FakeAnswer::cutOff(200, kContent) << "*";
        // Less than 64 KiB in a window (200 ms here), or a silence (300 ms).
        QTest::newRow("falls behind") << old << true << FakeAnswer::stall(200, kContent.left(999))
                                      << "сервер присылает payload.bin слишком медленно";
        QTest::newRow("falls silent") << old << true << FakeAnswer::stall(200, kContent)
                                      << "сервер перестал присылать payload.bin";
    }

    void download()
    {
        QFETCH(QByteArray, earlier);
        QFETCH(bool, marked);
        QFETCH(FakeAnswer, answer);
        QFETCH(QString, error);
        writeFile(target(), earlier);
        if (marked)
            writeFile(target() + ".sha256", sha256Hex(earlier).toLatin1());
        m_downloader->m_quietMs = 300;
        m_downloader->m_windowMs = 200;
        download(answer, target());
        const bool withinCall = m_completions == 1;
        QTRY_COMPARE_WITH_TIMEOUT(m_completions, 1, 10000);
        QCOMPARE(withinCall, m_server->requests().isEmpty());
        QCOMPARE(m_ok, error.isEmpty());
        QVERIFY2(error == "*" ? !m_error.isEmpty() : m_error == error, qPrintable(m_error));
        QCOMPARE(contentOf(target()), error.isEmpty() ? kContent : earlier);
        QCOMPARE(contentOf(target() + ".sha256"),
                 error.isEmpty() ? sha256Hex(kContent).toLatin1() : "(none)");
        QVERIFY(!QFile::exists(target() + ".part"));
        if (error.isEmpty())
            QCOMPARE(m_progressCalls > 0, !withinCall);
        repliesAreLetGo();
    }

    // A .part that cannot be made fails within the call; one left over, a link elsewhere too,
    // is made afresh, never written through; one whose last data cannot reach the disk (a full
    // disk shows only when the file is flushed) fails instead of being kept.
    void partFile()
    {
        download(FakeAnswer::raw(200, kContent), m_dir->filePath("missing/payload.bin"));
        QCOMPARE(m_completions, 1);
        QVERIFY(!m_ok && m_error.startsWith("не удалось записать " + m_dir->path()));
        QVERIFY(m_server->requests().isEmpty());

        writeFile(m_dir->filePath("elsewhere"), "kept");
        QVERIFY(QFile::link(m_dir->filePath("elsewhere"), target() + ".part"));
        download(FakeAnswer::raw(200, kContent), target());
        QTRY_COMPARE(m_completions, 2);
        QVERIFY2(m_ok && contentOf(target()) == kContent, qPrintable(m_error));
        QCOMPARE(contentOf(m_dir->filePath("elsewhere")), QByteArray("kept"));

        // No file may grow beyond 100 bytes for a while: the disk is full.
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        const rlimit full{100, limit.rlim_max};
        signal(SIGXFSZ, SIG_IGN);
        QVERIFY(setrlimit(RLIMIT_FSIZE, &full) == 0);
        const auto restore = qScopeGuard([&limit] { setrlimit(RLIMIT_FSIZE, &limit); });
        download(FakeAnswer::raw(200, kContent.left(1000)), m_dir->filePath("full.bin"));
        QTRY_COMPARE(m_completions, 3);
        QVERIFY2(!m_ok && m_error.startsWith("не удалось записать"), qPrintable(m_error));
        QVERIFY(!QFile::exists(m_dir->filePath("full.bin")) &&
                !QFile::exists(m_dir->filePath("full.bin.part")));
    }

    // An aborted download, or a manifest request the downloader's end cuts short, completes as
    // failed and leaves no partial file.
    void abortEndsTransfer()
    {
        download(FakeAnswer::stall(200, kContent), target());
        QTRY_VERIFY(m_progressCalls > 0);
        m_downloader->abort();
        QVERIFY(m_completions == 1 && !m_ok);
        QVERIFY(!QFile::exists(target() + ".part"));

        m_server->setAnswer("GET", "/manifest.json", FakeAnswer::never());
        fetchManifest();
        QTRY_COMPARE(m_server->requests().size(), 2);
        m_downloader.reset();
        QVERIFY(m_completions == 2 && !m_ok);
    }
};

} // namespace Orv

QTEST_GUILESS_MAIN(Orv::TestPayloadDownloader)
#include "tst_payloaddownloader.moc"
