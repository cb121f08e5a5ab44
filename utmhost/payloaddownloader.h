#pragma once

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

namespace Orv {

// One payload file of the manifest.
struct PayloadFile
{
    QUrl url;       // resolved against the manifest's address
    QString name;   // the local file name: the last component of `url`
    QString sha256; // 64 lower-case hex digits
    qint64 size = 0;
};

// What the host installs: the distribution's root file system, the УТМ image and, when there is
// one, the mock УТМ image of test VMs (empty otherwise).
struct PayloadManifest
{
    PayloadFile rootfs;
    QString version;
    PayloadFile image;
    QString imageRef;
    PayloadFile mock;
    QString mockRef;
};

// Fetches the payload manifest and downloads payload files, checking each file's size and SHA-256
// while it streams. A file P is written as P + ".part" and becomes P only when complete and
// correct; P + ".sha256" then marks it verified, so that a later download of it is skipped.
// Only http(s) serves payloads; a local file only to a manifest that is a local file itself.
// Error texts are Russian, for the user. Every callback runs exactly once: from the event loop,
// within the call where noted, or within `abort` and the destructor.
class PayloadDownloader : public QObject
{
    Q_OBJECT

public:
    using ManifestCallback =
        std::function<void(bool ok, const QByteArray &body, const QString &error)>;
    using ProgressCallback = std::function<void(qint64 received, qint64 total)>;
    using DoneCallback = std::function<void(bool ok, const QString &error)>;

    // `network` is not owned and must outlive the downloader.
    explicit PayloadDownloader(QNetworkAccessManager *network, QObject *parent = nullptr);
    // Aborts the current transfer.
    ~PayloadDownloader() override;

    // GETs the manifest; a body beyond 64 KiB is refused as soon as it arrives.
    void fetchManifest(const QUrl &url, ManifestCallback callback);
    // Reads a manifest fetched from `url`; false with `error` set when it is not usable.
    static bool parseManifest(const QByteArray &body, const QUrl &url, PayloadManifest *manifest,
                              QString *error);
    // Downloads `file` to `path`. Completes within the call when the file is already there and
    // verified (no request at all) or when the .part file cannot be written. `progress` may be
    // empty. A failed download leaves neither P.part nor P.sha256, and an earlier P untouched.
    void download(const PayloadFile &file, const QString &path, ProgressCallback progress,
                  DoneCallback done);
    // P has the file's size and P.sha256 its digest. The payload itself is not hashed again.
    static bool isAlreadyDownloaded(const PayloadFile &file, const QString &path);
    // Aborts the latest request, manifest or file, if it still runs; it completes as failed.
    void abort();

private:
    friend class TestPayloadDownloader;

    // Holds a transfer to a pace: a server trickling a byte now and then would otherwise keep
    // the host installing for as long as it liked. Ends `reply` when nothing arrives for
    // `m_quietMs`, or when a window of `m_windowMs` brings less than 64 KiB and less than is left
    // of `size`; `received` counts what came, `what` names it in the reason, which the returned
    // text then holds.
    std::shared_ptr<QString> watchPace(QNetworkReply *reply, qint64 size,
                                       std::function<qint64()> received, const QString &what);

    QNetworkAccessManager *m_network;
    QPointer<QNetworkReply> m_current;
    // The pace that watchPace holds transfers to.
    int m_quietMs = 60000;
    int m_windowMs = 60000;
};

} // namespace Orv
