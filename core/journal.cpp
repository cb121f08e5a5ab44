#include "core/journal.h"

#include "core/util.h"
#include "platform/userprivate.h"

#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUuid>

namespace Orv {
namespace {

const char kCreateTable[] = R"(CREATE TABLE IF NOT EXISTS journal (
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    at TEXT NOT NULL,
    task_id TEXT NOT NULL,
    type TEXT NOT NULL,
    payload_hash TEXT NOT NULL,
    signed_hash TEXT,
    ok INTEGER NOT NULL,
    message TEXT
))";

// The NOT NULL text columns take an empty text where a record has a null one (an enrolment has no
// task id, a task may come without a hash), so such a row is still recorded.
QString notNull(const QString &text)
{
    return text.isNull() ? QString::fromLatin1("") : text;
}

} // namespace

Journal::Journal(const QString &path)
    : m_path(path)
    , m_connection(QStringLiteral("orvagent-journal-%1")
                       .arg(QUuid::createUuid().toString(QUuid::WithoutBraces)))
{}

Journal::~Journal()
{
    close();
}

bool Journal::open(QString *error)
{
    if (m_open)
        return true;
    QString failure;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
        db.setDatabaseName(m_path);
        if (!db.open()) {
            failure = QStringLiteral("Не удалось открыть журнал %1: %2")
                          .arg(m_path, db.lastError().text());
        } else {
            // Every row is still on disk when its append returns (full sync), but one write to
            // the log of changes is synced instead of the rollback journal, the table and the
            // folder, so a signed task's result is not held up by several disk flushes. Where
            // the mode cannot be set the journal goes on in the default one.
            QSqlQuery(db).exec(QStringLiteral("PRAGMA journal_mode=WAL"));
            QSqlQuery create(db);
            if (!create.exec(QLatin1String(kCreateTable))) {
                failure = QStringLiteral("Не удалось создать таблицу журнала: %1")
                              .arg(create.lastError().text());
                create.finish();
                db.close();
            }
        }
    }
    if (!failure.isEmpty()) {
        QSqlDatabase::removeDatabase(m_connection);
        setError(error, failure);
        return false;
    }
    // SQLite creates the file as the umask allows, and its journal files after it take its mode.
    makePrivate(m_path);

    // Tables from older versions lack org_inn. When it cannot be added, the statements leave it
    // out, so rows are still written and read, only without the INN.
    m_hasOrgInn = hasColumn(m_connection, QStringLiteral("org_inn"));
    if (!m_hasOrgInn) {
        QSqlQuery alter(QSqlDatabase::database(m_connection, false));
        m_hasOrgInn = alter.exec(QStringLiteral("ALTER TABLE journal ADD COLUMN org_inn TEXT"));
        if (!m_hasOrgInn)
            logMessage(Warn, QStringLiteral("не удалось добавить колонку org_inn: ") +
                                 alter.lastError().text());
    }
    m_open = true;
    return true;
}

void Journal::close()
{
    if (!m_open)
        return;
    m_insert.reset();
    m_select.reset();
    {
        QSqlDatabase db = QSqlDatabase::database(m_connection, false);
        if (db.isValid())
            db.close();
    }
    QSqlDatabase::removeDatabase(m_connection);
    m_open = false;
}

bool Journal::hasColumn(const QString &connection, const QString &column)
{
    QSqlQuery query(QSqlDatabase::database(connection, false));
    if (!query.exec(QStringLiteral("PRAGMA table_info(journal)")))
        return true; // unknown: better no migration than a wrong one
    while (query.next()) {
        if (query.value(1).toString() == column)
            return true;
    }
    return false;
}

// Statements are prepared once per connection and reused: the core writes a row per task and the
// window re-reads the newest rows after each.
QSqlQuery *Journal::statement(std::unique_ptr<QSqlQuery> &slot, const QString &sql, QString *error)
{
    if (!slot) {
        auto query = std::make_unique<QSqlQuery>(QSqlDatabase::database(m_connection, false));
        query->setForwardOnly(true);
        if (!query->prepare(sql)) {
            *error = query->lastError().text();
            return nullptr;
        }
        slot = std::move(query);
    }
    return slot.get();
}

bool Journal::append(const JournalEntry &entry, QString *error)
{
    if (!m_open) {
        setError(error, QStringLiteral("Журнал не открыт"));
        return false;
    }
    const QString sql = m_hasOrgInn
                            ? QStringLiteral("INSERT INTO journal (at, task_id, type, org_inn, "
                                             "payload_hash, signed_hash, ok, message) "
                                             "VALUES (?, ?, ?, ?, ?, ?, ?, ?)")
                            : QStringLiteral("INSERT INTO journal (at, task_id, type, "
                                             "payload_hash, signed_hash, ok, message) "
                                             "VALUES (?, ?, ?, ?, ?, ?, ?)");
    QString failure;
    if (QSqlQuery *query = statement(m_insert, sql, &failure)) {
        const QDateTime at = entry.at.isValid() ? entry.at : QDateTime::currentDateTimeUtc();
        // Every text but our own signed hash may come from the server; the window shows them.
        query->addBindValue(at.toString(Qt::ISODate));
        query->addBindValue(notNull(shortened(entry.taskId)));
        query->addBindValue(notNull(shortened(entry.type)));
        if (m_hasOrgInn)
            query->addBindValue(shortened(entry.orgInn));
        query->addBindValue(notNull(shortened(entry.payloadHash)));
        query->addBindValue(entry.signedHash.isEmpty() ? QVariant() : QVariant(entry.signedHash));
        query->addBindValue(entry.ok ? 1 : 0);
        query->addBindValue(shortened(entry.message));
        if (query->exec()) {
            query->finish();
            return true;
        }
        failure = query->lastError().text();
        query->finish();
    }
    setError(error, QStringLiteral("Не удалось записать в журнал: %1").arg(failure));
    logMessage(Warn, QStringLiteral("запись в журнал не удалась: ") + failure);
    return false;
}

QList<JournalEntry> Journal::recent(int limit)
{
    QList<JournalEntry> entries;
    if (!m_open)
        return entries;
    const QString sql =
        QStringLiteral("SELECT id, at, task_id, type, %1, payload_hash, signed_hash, ok, message "
                       "FROM journal ORDER BY id DESC LIMIT ?")
            .arg(m_hasOrgInn ? QStringLiteral("org_inn") : QStringLiteral("NULL"));
    QString failure;
    QSqlQuery *query = statement(m_select, sql, &failure);
    if (query) {
        query->addBindValue(limit);
        if (query->exec()) {
            while (query->next()) {
                JournalEntry entry;
                entry.id = query->value(0).toLongLong();
                entry.at = QDateTime::fromString(query->value(1).toString(), Qt::ISODate);
                entry.taskId = query->value(2).toString();
                entry.type = query->value(3).toString();
                entry.orgInn = query->value(4).toString();
                entry.payloadHash = query->value(5).toString();
                entry.signedHash = query->value(6).toString();
                entry.ok = query->value(7).toLongLong() != 0;
                entry.message = query->value(8).toString();
                entries.append(entry);
            }
            if (!query->lastError().isValid()) {
                query->finish(); // releases the read lock between refreshes
                return entries;
            }
        }
        failure = query->lastError().text();
        query->finish();
    }
    logMessage(Warn, QStringLiteral("не удалось прочитать журнал: ") + failure);
    return {};
}

} // namespace Orv
