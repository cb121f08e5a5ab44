#include "utm/utmrequesttask.h"

#include "core/util.h"
#include "utm/utmrequestallowlist.h"

#include <QJsonObject>
#include <QXmlStreamReader>

namespace Orv {
namespace {

QString textOf(const QJsonObject &payload, const char *key)
{
    return payload.value(QLatin1String(key)).toString();
}

bool flagOf(const QJsonObject &payload, const char *key)
{
    return payload.value(QLatin1String(key)).toBool(false);
}

// Whatever stands between the base64 characters (line breaks, blanks, padding) is ignored.
QByteArray decodeLenient(const QString &base64)
{
    QByteArray kept;
    kept.reserve(base64.size());
    for (const QChar c : base64) {
        if ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
            c == u'+' || c == u'/')
            kept.append(char(c.unicode()));
    }
    return QByteArray::fromBase64(kept);
}

} // namespace

UtmRequestTask::UtmRequestTask(UtmPool *pool, int requestTimeoutMs)
    : m_pool(pool)
    , m_requestTimeoutMs(requestTimeoutMs)
{}

QString UtmRequestTask::type() const
{
    return QStringLiteral("utm.request");
}

TaskOutcome UtmRequestTask::execute(const TaskDescriptor &)
{
    return TaskOutcome::failure(
        QStringLiteral("Запрос к УТМ выполняется только асинхронно — это ошибка агента"));
}

void UtmRequestTask::runAsync(const TaskDescriptor &task, TaskCompletion done)
{
    const QString fsrarId = textOf(task.payload, "fsrarId");
    if (m_pool->probeFor(fsrarId) || m_pool->allFsrarIdsKnown()) {
        execute(task, done);
        return;
    }
    const std::weak_ptr<int> alive = m_lifetime;
    m_pool->refresh({}, [this, alive, task, done] {
        if (alive.expired())
            done(TaskOutcome::failure(
                QStringLiteral("Агент останавливается, запрос к УТМ не отправлен")));
        else
            execute(task, done);
    });
}

void UtmRequestTask::execute(const TaskDescriptor &task, const TaskCompletion &done)
{
    const QString fsrarId = textOf(task.payload, "fsrarId");
    const std::shared_ptr<UtmProbe> probe = m_pool->probeFor(fsrarId);
    const QByteArray body = decodeLenient(textOf(task.payload, "bodyBase64"));
    const QString refusal =
        probe ? checkRequest(task, probe->status(), body) : explainNoUtm(fsrarId, *m_pool);
    if (!refusal.isEmpty()) {
        logItems(Warn, QStringLiteral("запрос к УТМ отклонён агентом:"), refusal);
        done(TaskOutcome::failure(refusal));
        return;
    }

    IUtmClient *client = probe->client();
    const QString method = textOf(task.payload, "method");
    const QString path = textOf(task.payload, "path");
    const bool upload = method == QStringLiteral("POST");
    const QString signedHash = upload ? sha256Hex(body) : QString();
    UtmCallback reply = [done, signedHash](const UtmResponse &response) {
        // Status 0: no whole answer came (refused, cut off, timed out, aborted, too large).
        if (response.status == 0) {
            done(TaskOutcome::failure(QStringLiteral("УТМ не ответил: %1").arg(response.error)));
            return;
        }
        const QJsonObject data{{"httpStatus", response.status},
                               {"contentType", response.contentType},
                               {"bodyBase64", QString::fromLatin1(response.body.toBase64())},
                               {"bodySha256", sha256Hex(response.body)}};
        done(TaskOutcome::success(data, signedHash));
    };

    if (method == QStringLiteral("GET")) {
        client->get(path, m_requestTimeoutMs, std::move(reply));
    } else if (method == QStringLiteral("DELETE")) {
        client->deleteResource(path, m_requestTimeoutMs, std::move(reply));
    } else {
        QString fileName = textOf(task.payload, "fileName");
        if (fileName.isEmpty())
            fileName = UtmRequestPolicy::inboxType(path) + QStringLiteral(".xml");
        client->postXml(path, body, fileName, m_requestTimeoutMs, std::move(reply));
    }
}

QString UtmRequestTask::explainNoUtm(const QString &fsrarId, const UtmPool &pool)
{
    if (pool.isEmpty())
        return QStringLiteral("УТМ на этом компьютере не настроен");
    QStringList known;
    for (const UtmStatus &status : pool.statuses()) {
        if (!status.fsrarId.isEmpty() && !known.contains(status.fsrarId))
            known.append(status.fsrarId);
    }
    if (known.isEmpty())
        return QStringLiteral("FSRAR_ID УТМ пока неизвестен: УТМ ещё ни разу не ответил агенту");
    return QStringLiteral("Запрос адресован УТМ с FSRAR_ID %1, а на этом компьютере — %2")
        .arg(fsrarId, known.join(QStringLiteral(", ")));
}

QString UtmRequestTask::checkRequest(const TaskDescriptor &task, const UtmStatus &utm,
                                     const QByteArray &body)
{
    const UtmRequestPolicy::Permissions permissions{flagOf(task.payload, "allowWrite"),
                                                    flagOf(task.payload, "allowDelete")};
    const QString method = textOf(task.payload, "method");
    const QString refusal =
        UtmRequestPolicy::check(method, textOf(task.payload, "path"), permissions);
    if (!refusal.isEmpty() || method != QStringLiteral("POST"))
        return refusal;
    const QString owner = ownerFsrarId(body);
    if (owner.isEmpty())
        return QStringLiteral("В отправляемом документе не найден владелец Owner/FSRAR_ID");
    if (owner != utm.fsrarId)
        return QStringLiteral("Документ составлен от имени FSRAR_ID %1, а УТМ работает с %2")
            .arg(owner, utm.fsrarId);
    return {};
}

QString UtmRequestTask::ownerFsrarId(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    QStringList open;
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement:
            if (reader.name() == QLatin1String("FSRAR_ID") && open.size() == 2 &&
                open[1] == QLatin1String("Owner"))
                return reader.readElementText().trimmed();
            open.append(reader.name().toString());
            break;
        case QXmlStreamReader::EndElement:
            if (!open.isEmpty())
                open.removeLast();
            break;
        default:
            break;
        }
    }
    return {};
}

} // namespace Orv
