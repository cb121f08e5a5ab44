#include "utmhost/payloaddownloader.h"

#include "core/httpclient.h"
#include "utmhost/distrofiles.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QTimer>

#include <memory>

namespace Orv {
namespace {

constexpr qsizetype kMaxManifestBytes = 65536;
// What a transfer must bring within each window, unless less is left of it.
constexpr qint64 kMinWindowBytes = 65536;
// The largest size a JSON number still carries to the byte (2^53).
constexpr double kMaxPayloadBytes = 9007199254740992.0;

QNetworkRequest makeRequest(const QUrl &url)
{
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::NoLessSafeRedirectPolicy);
    return request;
}

// The error of a reply that has ended; empty for a whole answer with status 200.
QString replyError(QNetworkReply *reply, const QString &cutOff)
{
    if (!cutOff.isEmpty())
        return cutOff;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QString answered = QStringLiteral("%1 ответил %2").arg(reply->url().host()).arg(status);
    if (reply->error() == QNetworkReply::NoError)
        return status != 0 && status != 200 ? answered : QString();
    return status >= 400 ? answered : reply->errorString();
}

bool matchesWhole(const QRegularExpression &pattern, const QString &text)
{
    return pattern.match(text).hasMatch();
}

// Beside a payload P lie P.part and P.sha256: a payload of such a name could overwrite another's
// download or its verified mark.
bool isBesideName(const QString &name)
{
    return name.endsWith(QLatin1String(".part"), Qt::CaseInsensitive) ||
           name.endsWith(QLatin1String(".sha256"), Qt::CaseInsensitive);
}

// A file URL of another machine, by host or by a UNC path, opens a network share with the user's
// credentials.
bool onAnotherMachine(const QUrl &url)
{
    return url.toLocalFile().replace(u'\\', u'/').startsWith(QLatin1String("//"));
}

// Why `url` may not serve a payload of a manifest read from `manifestUrl`; empty when it may.
QString addressProblem(const QUrl &url, const QUrl &manifestUrl, const QString &name)
{
    const QString scheme = url.scheme();
    if (scheme == QLatin1String("https") || scheme == QLatin1String("http"))
        return {};
    if (url.isLocalFile() && onAnotherMachine(url))
        return QStringLiteral("в описании нагрузки %1 лежит на другом компьютере").arg(name);
    if (url.isLocalFile() && manifestUrl.isLocalFile() && !onAnotherMachine(manifestUrl))
        return {};
    return QStringLiteral("в описании нагрузки у %1 адрес не http и не https").arg(name);
}

bool parseFileEntry(const QJsonObject &entry, const QUrl &manifestUrl, PayloadFile *file,
                    QString *error)
{
    // Anchored as a whole: a "$" alone would let a trailing line feed through.
    static const QRegularExpression namePattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[A-Za-z0-9][A-Za-z0-9._-]{0,120}")));
    static const QRegularExpression digestPattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[0-9a-f]{64}")));

    file->url = manifestUrl.resolved(
        QUrl(entry.value(QLatin1String("file")).toString(), QUrl::TolerantMode));
    file->name = QFileInfo(file->url.path(QUrl::FullyDecoded)).fileName();
    file->sha256 = entry.value(QLatin1String("sha256")).toString().toLower();
    const double size = entry.value(QLatin1String("size")).toDouble();
    if (!file->url.isValid() || !matchesWhole(namePattern, file->name) ||
        isBesideName(file->name)) {
        *error = QStringLiteral("в описании нагрузки неверное имя файла");
        return false;
    }
    *error = addressProblem(file->url, manifestUrl, file->name);
    if (!error->isEmpty())
        return false;
    // A size beyond what qint64 or a JSON number holds exactly is refused, not truncated.
    if (!matchesWhole(digestPattern, file->sha256) || !(size >= 1 && size <= kMaxPayloadBytes)) {
        *error = QStringLiteral("в описании нагрузки у %1 нет sha256 или размера").arg(file->name);
        return false;
    }
    file->size = qint64(size);
    return true;
}

// Files go to one folder under their names, and Windows does not tell names apart by case.
QString repeatedName(const QList<PayloadFile> &files)
{
    for (qsizetype i = 0; i < files.size(); ++i) {
        for (qsizetype j = i + 1; j < files.size(); ++j) {
            if (files[i].name.compare(files[j].name, Qt::CaseInsensitive) == 0)
                return files[j].name;
        }
    }
    return {};
}

QString writeError(const QFile &file)
{
    return QStringLiteral("не удалось записать %1: %2").arg(file.fileName(), file.errorString());
}

// Opens `file` as a new file in place of whatever stood at its path: never through a link that
// someone left there.
bool createAfresh(QFile *file)
{
    QFile::remove(file->fileName());
    return file->open(QIODevice::WriteOnly | QIODevice::NewOnly);
}

// One file download: its .part file, the running hash and count, and the first error.
struct Transfer
{
    PayloadFile file;
    QString path;
    PayloadDownloader::ProgressCallback progress;
    PayloadDownloader::DoneCallback done;
    QFile part;
    QCryptographicHash hash{QCryptographicHash::Sha256};
    qint64 received = 0;
    QString error;
    std::shared_ptr<QString> cutOff; // why the pace watch ended the transfer

    // Hashes, writes and counts a chunk; a short write becomes the error.
    void append(const QByteArray &chunk)
    {
        received += chunk.size();
        hash.addData(chunk);
        if (part.write(chunk) != chunk.size())
            error = writeError(part);
    }

    void receive(QNetworkReply *reply)
    {
        if (!error.isEmpty())
            return;
        const QByteArray chunk = reply->readAll();
        if (received + chunk.size() > file.size) {
            received += chunk.size();
            error = QStringLiteral("%1 больше заявленного размера").arg(file.name);
            reply->abort();
            return;
        }
        append(chunk);
        if (!error.isEmpty())
            reply->abort();
        else if (progress)
            progress(received, file.size);
    }

    void finish(QNetworkReply *reply)
    {
        reply->deleteLater();
        if (error.isEmpty())
            error = replyError(reply, *cutOff);
        if (error.isEmpty())
            append(remainingBody(reply));
        // Buffered data reaches the disk only now: a full disk may show up here first.
        if (!part.flush() && error.isEmpty())
            error = writeError(part);
        part.close();
        if (part.error() != QFileDevice::NoError && error.isEmpty())
            error = writeError(part);

        const QString digest = QString::fromLatin1(hash.result().toHex());
        if (error.isEmpty() && received != file.size)
            error = QStringLiteral("%1 скачан не целиком").arg(file.name);
        else if (error.isEmpty() && digest != file.sha256)
            error = QStringLiteral("sha256 %1 не совпал с описанием — файл удалён").arg(file.name);
        if (!error.isEmpty()) {
            part.remove();
            done(false, error);
            return;
        }

        QFile::remove(path);
        if (!QFile::rename(part.fileName(), path)) {
            done(false, QStringLiteral("не удалось сохранить %1").arg(path));
            return;
        }
        // Without the mark the file is only fetched again next time.
        QFile mark(path + QLatin1String(".sha256"));
        if (createAfresh(&mark))
            mark.write(digest.toLatin1());
        done(true, {});
    }
};

} // namespace

PayloadDownloader::PayloadDownloader(QNetworkAccessManager *network, QObject *parent)
    : QObject(parent)
    , m_network(network)
{}

PayloadDownloader::~PayloadDownloader()
{
    abort();
}

void PayloadDownloader::fetchManifest(const QUrl &url, ManifestCallback callback)
{
    QNetworkReply *reply = m_network->get(makeRequest(url));
    m_current = reply;
    // Read as it arrives, so that an oversized answer is cut off instead of held whole.
    auto body = std::make_shared<QByteArray>();
    const std::shared_ptr<QString> cutOff = watchPace(
        reply, kMaxManifestBytes, [body] { return qint64(body->size()); },
        QStringLiteral("данные"));
    connect(reply, &QNetworkReply::readyRead, this, [reply, body] {
        *body += reply->readAll();
        if (body->size() > kMaxManifestBytes)
            reply->abort();
    });
    connect(reply, &QNetworkReply::finished, this, [reply, body, cutOff, callback] {
        reply->deleteLater();
        QString error = replyError(reply, *cutOff);
        *body += remainingBody(reply);
        if (body->size() > kMaxManifestBytes) {
            body->truncate(kMaxManifestBytes);
            error = QStringLiteral("описание нагрузки больше %1 байт").arg(kMaxManifestBytes);
        }
        callback(error.isEmpty(), *body, error);
    });
}

bool PayloadDownloader::parseManifest(const QByteArray &body, const QUrl &url,
                                      PayloadManifest *manifest, QString *error)
{
    const QJsonDocument document = QJsonDocument::fromJson(body);
    const QJsonObject root = document.object();
    if (!document.isObject() || root.value(QLatin1String("format")).toInt() != 1) {
        *error = QStringLiteral("описание нагрузки не в формате 1 — обновите TELLVANE FERROW");
        return false;
    }
    PayloadManifest read;
    const QJsonObject rootfs = root.value(QLatin1String("rootfs")).toObject();
    const QJsonObject image = root.value(QLatin1String("image")).toObject();
    if (!parseFileEntry(rootfs, url, &read.rootfs, error) ||
        !parseFileEntry(image, url, &read.image, error))
        return false;
    read.version = rootfs.value(QLatin1String("version")).toString();
    read.imageRef = image.value(QLatin1String("ref")).toString();
    // The host knows its images by these prefixes alone: under another name an image would
    // install and then be taken for none.
    if (!isValidImageRefUnder(read.imageRef, kRuntimeImagePrefix)) {
        *error = QStringLiteral("в описании нагрузки неверное имя образа");
        return false;
    }
    QList<PayloadFile> files = {read.rootfs, read.image};
    const QJsonValue mock = root.value(QLatin1String("mock"));
    if (mock.isObject()) {
        if (!parseFileEntry(mock.toObject(), url, &read.mock, error))
            return false;
        read.mockRef = mock.toObject().value(QLatin1String("ref")).toString();
        if (!isValidImageRefUnder(read.mockRef, kMockImagePrefix)) {
            *error = QStringLiteral("в описании нагрузки неверное имя тестового УТМ");
            return false;
        }
        files.append(read.mock);
    }
    // Two entries of one name would share one download and one verified mark.
    const QString repeated = repeatedName(files);
    if (!repeated.isEmpty()) {
        *error = QStringLiteral("в описании нагрузки два файла с именем %1").arg(repeated);
        return false;
    }
    *manifest = read;
    return true;
}

void PayloadDownloader::download(const PayloadFile &file, const QString &path,
                                 ProgressCallback progress, DoneCallback done)
{
    if (isAlreadyDownloaded(file, path)) {
        done(true, {});
        return;
    }
    QFile::remove(path + QLatin1String(".sha256"));
    auto transfer = std::make_shared<Transfer>();
    transfer->file = file;
    transfer->path = path;
    transfer->progress = std::move(progress);
    transfer->done = std::move(done);
    transfer->part.setFileName(path + QLatin1String(".part"));
    if (!createAfresh(&transfer->part)) {
        transfer->done(false, writeError(transfer->part));
        return;
    }

    QNetworkReply *reply = m_network->get(makeRequest(file.url));
    m_current = reply;
    transfer->cutOff = watchPace(
        reply, file.size, [transfer] { return transfer->received; }, file.name);
    connect(reply, &QNetworkReply::readyRead, this,
            [reply, transfer] { transfer->receive(reply); });
    connect(reply, &QNetworkReply::finished, this, [reply, transfer] { transfer->finish(reply); });
}

std::shared_ptr<QString> PayloadDownloader::watchPace(QNetworkReply *reply, qint64 size,
                                                      std::function<qint64()> received,
                                                      const QString &what)
{
    auto cutOff = std::make_shared<QString>();
    const auto cut = [reply, cutOff](const QString &problem) {
        if (reply->isFinished())
            return;
        *cutOff = problem;
        reply->abort();
    };
    auto *quiet = new QTimer(reply);
    quiet->setSingleShot(true);
    connect(reply, &QNetworkReply::readyRead, quiet, qOverload<>(&QTimer::start));
    connect(quiet, &QTimer::timeout, this,
            [cut, what] { cut(QStringLiteral("сервер перестал присылать %1").arg(what)); });
    quiet->start(m_quietMs);
    auto *window = new QTimer(reply);
    connect(window, &QTimer::timeout, this,
            [cut, received, size, what, windowStart = qint64(0)]() mutable {
                const qint64 now = received();
                if (now - windowStart < qMin(kMinWindowBytes, size - windowStart))
                    cut(QStringLiteral("сервер присылает %1 слишком медленно").arg(what));
                windowStart = now;
            });
    window->start(m_windowMs);
    return cutOff;
}

bool PayloadDownloader::isAlreadyDownloaded(const PayloadFile &file, const QString &path)
{
    QFile mark(path + QLatin1String(".sha256"));
    return QFileInfo(path).size() == file.size && mark.open(QIODevice::ReadOnly) &&
           QString::fromLatin1(mark.readAll()).trimmed() == file.sha256;
}

void PayloadDownloader::abort()
{
    if (m_current && m_current->isRunning())
        m_current->abort();
}

} // namespace Orv
