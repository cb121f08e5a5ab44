// Speed figures of the task gate and the journal, printed for a person to read:
//   canonical-JSON SHA-256 of a 1 MiB payload, made from the task's text as the task gate makes
//   it and from the parsed object, against the plain SHA-256 of its compact bytes (OpenSSL's
//   outside Windows; goal: within 3 times), and the journal's append and recent(50) at 100,000
//   rows (goal: recent(50) well under a millisecond).
#include "core/canonicaljson.h"
#include "core/journal.h"
#include "core/util.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kJournalRows = 100000;
constexpr qsizetype kPayloadBytes = 1 << 20;

// Median of `runs` timings of `work`, in milliseconds.
double medianMs(int runs, const std::function<void()> &work)
{
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.push_back(timer.nsecsElapsed() / 1e6);
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

QByteArray compact(const QJsonObject &object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

// Shaped like the tasks the agent gets: a base64 document beside many small records with
// Cyrillic texts, numbers and nested members. `documentShare` of the bytes is the document.
QJsonObject payload(double documentShare)
{
    QRandomGenerator random(42);
    QByteArray document(qsizetype(kPayloadBytes * documentShare * 3 / 4), Qt::Uninitialized);
    for (char &c : document)
        c = char(random.bounded(256));
    QJsonObject object{{QStringLiteral("document"), QString::fromLatin1(document.toBase64())},
                       {QStringLiteral("inn"), QStringLiteral("7707083893")},
                       {QStringLiteral("detached"), true}};
    QJsonArray items;
    int i = 0;
    while (compact(object).size() < kPayloadBytes) {
        for (int n = 0; n < 200; ++n, ++i) {
            items.append(QJsonObject{
                {QStringLiteral("gtin"), QStringLiteral("0460%1").arg(i, 10, 10, QChar(u'0'))},
                {QStringLiteral("name"), QStringLiteral("Товар №%1 «молоко 3,2%», пакет\n").arg(i)},
                {QStringLiteral("price"), i * 1.07},
                {QStringLiteral("qty"), i % 17},
                {QStringLiteral("tags"), QJsonArray{QStringLiteral("a"), i, QJsonValue()}},
                {QStringLiteral("Mark"), QStringLiteral("010460%1\u001d93abc").arg(i)}});
        }
        object.insert(QStringLiteral("items"), items);
    }
    return object;
}

void benchCanonical(const char *name, double documentShare)
{
    const QJsonObject object = payload(documentShare);
    const QByteArray bytes = compact(object);
    const QByteArray task = R"({"id":"bench","type":"chz.document","payload":)" + bytes + '}';
    QString fromObject;
    QString fromText;
    QString plain;
    const double objectMs = medianMs(21, [&] { fromObject = Orv::canonicalJsonSha256(object); });
    const double textMs = medianMs(
        21, [&] { fromText = Orv::canonicalMemberSha256(task, QByteArrayView("payload")); });
    const double plainMs = medianMs(21, [&] { plain = Orv::sha256Hex(bytes); });
    std::printf("canonical JSON, %.2f MiB payload (%s): canonical SHA-256 from the task's text "
                "%.2f ms, from the parsed object %.2f ms, plain SHA-256 %.2f ms; ratio %.2f "
                "(goal: at most 3), from the object %.2f%s\n",
                bytes.size() / double(1 << 20), name, textMs, objectMs, plainMs, textMs / plainMs,
                objectMs / plainMs, fromText == fromObject ? "" : " DIGESTS DIFFER");
}

// Fills the table in one statement; row by row with a commit each would take minutes on a disk.
bool fillJournal(const QString &path)
{
    const QString connection = QStringLiteral("bench-fill");
    bool ok = false;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connection);
        db.setDatabaseName(path);
        QSqlQuery query(db);
        ok = db.open() &&
             query.exec(
                 QStringLiteral(
                     "INSERT INTO journal (at, task_id, type, org_inn, payload_hash, signed_hash, "
                     "ok, "
                     "message) WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n "
                     "WHERE i < %1) SELECT '2025-01-01T00:00:00Z', 'task-' || i, 'chz.document', "
                     "'7707083893', hex(randomblob(32)), hex(randomblob(32)), i % 2, "
                     "CASE WHEN i % 2 THEN NULL ELSE 'Сертификат просрочен' END FROM n")
                     .arg(kJournalRows));
        if (!ok)
            std::printf("filling the journal failed: %s\n", qPrintable(query.lastError().text()));
    }
    QSqlDatabase::removeDatabase(connection);
    return ok;
}

void benchJournal()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("journal.db"));
    QString error;
    {
        Orv::Journal schema(path);
        if (!schema.open(&error)) {
            std::printf("journal: %s\n", qPrintable(error));
            return;
        }
    }
    if (!fillJournal(path))
        return;

    Orv::Journal journal(path);
    QElapsedTimer timer;
    timer.start();
    journal.open(&error);
    const double openMs = timer.nsecsElapsed() / 1e6;

    Orv::JournalEntry entry;
    entry.taskId = QStringLiteral("bench");
    entry.type = QStringLiteral("chz.auth");
    entry.orgInn = QStringLiteral("7707083893");
    entry.payloadHash = QString(64, u'a');
    entry.signedHash = QString(64, u'b');
    entry.ok = true;
    const double appendMs = medianMs(201, [&] { journal.append(entry, &error); });
    int rows = 0;
    const double recentMs = medianMs(1001, [&] { rows = int(journal.recent(50).size()); });
    std::printf("journal at %d rows: open %.2f ms, append %.3f ms each (one commit per row), "
                "recent(50) %.3f ms for %d rows (goal: well under 1 ms)\n",
                kJournalRows, openMs, appendMs, recentMs, rows);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchCanonical("records", 0.0);
    benchCanonical("records and a base64 document", 0.5);
    benchCanonical("a base64 document", 1.0);
    benchJournal();
    return 0;
}
