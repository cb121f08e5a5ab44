#include "core/journal.h"
#include "tests/support/logcapture.h"

#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QUuid>

using namespace Orv;

namespace {

// Runs one statement on a connection of the test's own to the journal's file, for setting up
// and inspecting what the journal wrote; the first column of the rows it gives.
QVariantList sql(const QString &path, const QString &statement)
{
    QVariantList values;
    const QString name = QUuid::createUuid().toString();
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(path);
        if (!db.open())
            qFatal("%s", qPrintable(db.lastError().text()));
        QSqlQuery query(db);
        if (!query.exec(statement))
            qFatal("%s: %s", qPrintable(statement), qPrintable(query.lastError().text()));
        while (query.next())
            values.append(query.value(0));
    }
    QSqlDatabase::removeDatabase(name);
    return values;
}

const QString kOldTable = QStringLiteral(
    "CREATE TABLE journal (id INTEGER PRIMARY KEY AUTOINCREMENT, at TEXT NOT NULL, "
    "task_id TEXT NOT NULL, type TEXT NOT NULL, payload_hash TEXT NOT NULL, signed_hash TEXT, "
    "ok INTEGER NOT NULL, message TEXT)");

JournalEntry entry(const QString &taskId)
{
    JournalEntry e;
    e.at = QDateTime(QDate(2025, 3, 4), QTime(5, 6, 7), Qt::UTC);
    e.taskId = taskId;
    e.type = QStringLiteral("chz.document");
    e.orgInn = QStringLiteral("7700000000");
    e.payloadHash = QStringLiteral("ab");
    e.signedHash = QStringLiteral("cd");
    e.ok = true;
    return e;
}

QStringList taskIds(const QList<JournalEntry> &rows)
{
    QStringList ids;
    for (const JournalEntry &row : rows)
        ids.append(row.taskId);
    return ids;
}

} // namespace

class TestJournal : public QObject
{
    Q_OBJECT

private:
    QString path() const { return m_dir->filePath(QStringLiteral("journal.db")); }
    std::unique_ptr<QTemporaryDir> m_dir;

private slots:
    void init() { m_dir = std::make_unique<QTemporaryDir>(); }

    void schema()
    {
        Journal journal(path());
        QString error;
        QVERIFY2(journal.open(&error), qPrintable(error));
        QVERIFY(journal.open(&error)); // a second open is a no-op
        QVERIFY(!(QFileInfo(path()).permissions() & QFile::ReadOther));
        QCOMPARE(sql(path(), "SELECT name || ' ' || type || ' ' || \"notnull\" || ' ' || pk "
                             "FROM pragma_table_info('journal')"),
                 QVariantList({"id INTEGER 0 1", "at TEXT 1 0", "task_id TEXT 1 0", "type TEXT 1 0",
                               "payload_hash TEXT 1 0", "signed_hash TEXT 0 0", "ok INTEGER 1 0",
                               "message TEXT 0 0", "org_inn TEXT 0 0"}));
        QVERIFY(sql(path(), "SELECT sql FROM sqlite_master WHERE name = 'journal'")
                    .value(0)
                    .toString()
                    .contains("AUTOINCREMENT"));
    }

    void migratesOldTableOnce()
    {
        sql(path(), kOldTable);
        sql(path(),
            "INSERT INTO journal (at, task_id, type, payload_hash, signed_hash, ok, message)"
            " VALUES ('2024-01-02T03:04:05Z', 'old-1', 'chz.auth', 'h1', NULL, 1, NULL),"
            " ('2024-01-02T03:04:06Z', 'old-2', 'edo.title', 'h2', 's2', 0, 'отказ')");
        Test::LogCapture log;
        for (int pass = 0; pass < 2; ++pass) {
            Journal journal(path());
            QVERIFY(journal.open());
            if (pass == 0)
                QVERIFY(journal.append(entry(QStringLiteral("new"))));
        }
        QVERIFY(log.matching(QStringLiteral("[WARN]")).isEmpty());
        QCOMPARE(sql(path(), "SELECT name FROM pragma_table_info('journal') WHERE cid >= 7"),
                 QVariantList({"message", "org_inn"}));

        Journal journal(path());
        QVERIFY(journal.open());
        const QList<JournalEntry> rows = journal.recent(50);
        QCOMPARE(taskIds(rows), QStringList({"new", "old-2", "old-1"}));
        QCOMPARE(rows[0].orgInn, QStringLiteral("7700000000"));
        QCOMPARE(rows[1].message, QStringLiteral("отказ"));
        QVERIFY(!rows[1].ok);
        QVERIFY(rows[2].orgInn.isEmpty() && rows[2].signedHash.isEmpty());
    }

    // When org_inn cannot be added (here "journal" is a view over an older table), rows must
    // still be written and read, only without the INN.
    void columnThatCannotBeAddedIsLeftOut()
    {
        sql(path(), QString(kOldTable).replace("TABLE journal", "TABLE rows"));
        sql(path(), "INSERT INTO rows (at, task_id, type, payload_hash, ok) "
                    "VALUES ('2024-01-02T03:04:05Z', 'old', 'chz.auth', 'h', 1)");
        sql(path(), "CREATE VIEW journal AS SELECT * FROM rows");
        sql(path(), "CREATE TRIGGER journal_insert INSTEAD OF INSERT ON journal BEGIN "
                    "INSERT INTO rows (at, task_id, type, payload_hash, signed_hash, ok, message) "
                    "VALUES (NEW.at, NEW.task_id, NEW.type, NEW.payload_hash, NEW.signed_hash, "
                    "NEW.ok, NEW.message); END");
        Test::LogCapture log;
        Journal journal(path());
        QVERIFY(journal.open());
        const QStringList warnings = log.matching(QStringLiteral("[WARN]"));
        QCOMPARE(warnings.size(), 1);
        QVERIFY(
            warnings[0].contains(QStringLiteral("[WARN] не удалось добавить колонку org_inn: ")));

        QString error;
        QVERIFY2(journal.append(entry(QStringLiteral("new")), &error), qPrintable(error));
        const QList<JournalEntry> rows = journal.recent(50);
        QCOMPARE(taskIds(rows), QStringList({"new", "old"}));
        QVERIFY(rows[0].orgInn.isEmpty());
    }

    // Null texts of a record go into the NOT NULL columns as empty ones, so the row is kept.
    void storedForms()
    {
        Journal journal(path());
        QVERIFY(journal.open());
        JournalEntry enrolment; // no task id, no hash, nothing signed: all null texts
        enrolment.at = entry({}).at;
        enrolment.type = QStringLiteral("enroll");
        enrolment.ok = true;
        JournalEntry noType = entry(QStringLiteral("t-3"));
        noType.type = QString();
        noType.ok = false;
        noType.message = QStringLiteral("Тип задачи «» не поддерживается");
        const QList<JournalEntry> appended{entry(QStringLiteral("t-1")), enrolment, noType};
        QString error;
        for (const JournalEntry &e : appended)
            QVERIFY2(journal.append(e, &error), qPrintable(error));

        QCOMPARE(sql(path(), "SELECT quote(task_id) || quote(type) || quote(org_inn) || "
                             "quote(payload_hash) || quote(signed_hash) || ok || quote(message) "
                             "FROM journal ORDER BY id"),
                 QVariantList({"'t-1''chz.document''7700000000''ab''cd'1NULL",
                               "'''enroll'NULL''NULL1NULL",
                               "'t-3''''7700000000''ab''cd'0'Тип задачи «» не поддерживается'"}));
        const QList<JournalEntry> rows = journal.recent(50);
        QCOMPARE(rows.size(), 3);
        for (int i = 0; i < 3; ++i) {
            const JournalEntry &read = rows[2 - i], &given = appended[i];
            QCOMPARE((QStringList{read.taskId, read.type, read.orgInn, read.payloadHash,
                                  read.signedHash, read.message}),
                     (QStringList{given.taskId, given.type, given.orgInn, given.payloadHash,
                                  given.signedHash, given.message}));
            QCOMPARE(read.at, given.at);
            QCOMPARE(read.ok, given.ok);
            QVERIFY(read.id > 0);
        }
    }

    void dates()
    {
        Journal journal(path());
        QVERIFY(journal.open());
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-999);
        const QList<QDateTime> given{
            QDateTime(), // "now"
            QDateTime(QDate(2025, 12, 31), QTime(23, 59, 58, 750), Qt::UTC),
            QDateTime(QDate(2025, 6, 1), QTime(12, 0), Qt::OffsetFromUTC, 3 * 3600)};
        for (const QDateTime &at : given) {
            JournalEntry e = entry(QStringLiteral("t"));
            e.at = at;
            QVERIFY(journal.append(e));
        }
        const QDateTime after = QDateTime::currentDateTimeUtc();

        const QVariantList stored = sql(path(), "SELECT at FROM journal ORDER BY id");
        QVERIFY2(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$)"))
                     .match(stored[0].toString())
                     .hasMatch(),
                 qPrintable(stored[0].toString()));
        QCOMPARE(stored.mid(1),
                 QVariantList({"2025-12-31T23:59:58Z", "2025-06-01T12:00:00+03:00"}));
        const QList<JournalEntry> rows = journal.recent(3);
        QCOMPARE(rows[0].at, given[2]);
        QCOMPARE(rows[1].at, QDateTime(QDate(2025, 12, 31), QTime(23, 59, 58), Qt::UTC));
        QVERIFY(rows[2].at >= before && rows[2].at <= after);
        QCOMPARE(rows[2].at.timeSpec(), Qt::UTC);
    }

    void recentNewestFirst()
    {
        Journal journal(path());
        QVERIFY(journal.open());
        for (const char *id : {"a", "b", "c"})
            QVERIFY(journal.append(entry(QString::fromLatin1(id))));
        QCOMPARE(taskIds(journal.recent(50)), QStringList({"c", "b", "a"}));
        QCOMPARE(taskIds(journal.recent(2)), QStringList({"c", "b"}));
        QVERIFY(journal.append(entry(QStringLiteral("d")))); // after a read, writing still works
        QCOMPARE(taskIds(journal.recent(1)), QStringList({"d"}));

        // Each journal has a connection of its own.
        Journal other(m_dir->filePath(QStringLiteral("other.db")));
        QVERIFY(other.open());
        QVERIFY(other.append(entry(QStringLiteral("other"))));
        QCOMPARE(taskIds(other.recent(50)), QStringList({"other"}));
        QCOMPARE(taskIds(journal.recent(1)), QStringList({"d"}));
        // The connection goes with its journal.
        const qsizetype connections = QSqlDatabase::connectionNames().size();
        {
            Journal gone(m_dir->filePath(QStringLiteral("gone.db")));
            QVERIFY(gone.open());
            QCOMPARE(QSqlDatabase::connectionNames().size(), connections + 1);
        }
        QCOMPARE(QSqlDatabase::connectionNames().size(), connections);
    }

    void notOpen()
    {
        const QString missing = m_dir->filePath(QStringLiteral("no/such/folder/journal.db"));
        Journal unopenable(missing);
        QString error;
        QVERIFY(!unopenable.open(&error));
        QVERIFY2(error.startsWith(QStringLiteral("Не удалось открыть журнал %1: ").arg(missing)),
                 qPrintable(error));
        Journal closed(path());
        QVERIFY(closed.open());
        closed.close();
        closed.close();
        Test::LogCapture log;
        for (Journal *journal : {&unopenable, &closed}) {
            QVERIFY(!journal->append(entry(QStringLiteral("x")), &error));
            QCOMPARE(error, QStringLiteral("Журнал не открыт"));
            QVERIFY(journal->recent(50).isEmpty());
        }
        QVERIFY(log.lines().isEmpty());
    }

    void statementFailures()
    {
        Journal journal(path());
        QVERIFY(journal.open());
        QVERIFY(journal.append(entry(QStringLiteral("x"))));
        sql(path(), "DROP TABLE journal");

        Test::LogCapture log;
        QString error;
        QVERIFY(!journal.append(entry(QStringLiteral("y")), &error));
        QVERIFY2(error.startsWith(QStringLiteral("Не удалось записать в журнал: ")) &&
                     error.size() > 30,
                 qPrintable(error));
        QVERIFY(journal.recent(50).isEmpty());
        const QStringList warnings = log.matching(QStringLiteral("[WARN]"));
        QCOMPARE(warnings.size(), 2);
        QVERIFY(warnings[0].contains(QStringLiteral("[WARN] запись в журнал не удалась: ")));
        QVERIFY(warnings[1].contains(QStringLiteral("[WARN] не удалось прочитать журнал: ")));
    }
};

QTEST_GUILESS_MAIN(TestJournal)
#include "tst_journal.moc"
