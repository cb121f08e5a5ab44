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

// A connection of the test's own to the same file, for setting up and inspecting what the
// journal wrote.
class RawDb
{
public:
    explicit RawDb(const QString &path)
        : m_name(QUuid::createUuid().toString())
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
        db.setDatabaseName(path);
        db.open();
    }
    ~RawDb()
    {
        QSqlDatabase::database(m_name, false).close();
        QSqlDatabase::removeDatabase(m_name);
    }

    void exec(const QString &sql)
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        if (!query.exec(sql))
            qFatal("%s: %s", qPrintable(sql), qPrintable(query.lastError().text()));
    }

    QVariantList column(const QString &sql)
    {
        QSqlQuery query(QSqlDatabase::database(m_name, false));
        QVariantList values;
        if (query.exec(sql)) {
            while (query.next())
                values.append(query.value(0));
        }
        return values;
    }

    QStringList columnNames()
    {
        return toStrings(column(QStringLiteral("SELECT name FROM pragma_table_info('journal')")));
    }

private:
    static QStringList toStrings(const QVariantList &values)
    {
        QStringList out;
        for (const QVariant &v : values)
            out.append(v.toString());
        return out;
    }

    QString m_name;
};

const char kOldTable[] = "CREATE TABLE journal (id INTEGER PRIMARY KEY AUTOINCREMENT, "
                         "at TEXT NOT NULL, task_id TEXT NOT NULL, type TEXT NOT NULL, "
                         "payload_hash TEXT NOT NULL, signed_hash TEXT, ok INTEGER NOT NULL, "
                         "message TEXT)";

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
        RawDb raw(path());
        QCOMPARE(raw.columnNames(), QStringList({"id", "at", "task_id", "type", "payload_hash",
                                                 "signed_hash", "ok", "message", "org_inn"}));
        QCOMPARE(raw.column("SELECT type FROM pragma_table_info('journal')"),
                 QVariantList({"INTEGER", "TEXT", "TEXT", "TEXT", "TEXT", "TEXT", "INTEGER", "TEXT",
                               "TEXT"}));
        QCOMPARE(raw.column("SELECT \"notnull\" FROM pragma_table_info('journal')"),
                 QVariantList({0, 1, 1, 1, 1, 0, 1, 0, 0}));
        QCOMPARE(raw.column("SELECT name FROM pragma_table_info('journal') WHERE pk = 1"),
                 QVariantList({"id"}));
        QVERIFY(raw.column("SELECT sql FROM sqlite_master WHERE name = 'journal'")
                    .value(0)
                    .toString()
                    .contains("AUTOINCREMENT"));
    }

    void migratesOldTableOnce()
    {
        {
            RawDb raw(path());
            raw.exec(kOldTable);
            raw.exec(
                "INSERT INTO journal (at, task_id, type, payload_hash, signed_hash, ok, message)"
                " VALUES ('2024-01-02T03:04:05Z', 'old-1', 'chz.auth', 'h1', NULL, 1, NULL),"
                " ('2024-01-02T03:04:06Z', 'old-2', 'edo.title', 'h2', 's2', 0, 'отказ')");
        }
        Test::LogCapture log;
        for (int pass = 0; pass < 2; ++pass) {
            Journal journal(path());
            QVERIFY(journal.open());
            if (pass == 0)
                QVERIFY(journal.append(entry(QStringLiteral("new"))));
        }
        QVERIFY(log.matching(QStringLiteral("[WARN]")).isEmpty());
        RawDb raw(path());
        QCOMPARE(raw.columnNames().count(QStringLiteral("org_inn")), 1);
        QCOMPARE(raw.columnNames().last(), QStringLiteral("org_inn"));

        Journal journal(path());
        QVERIFY(journal.open());
        const QList<JournalEntry> rows = journal.recent(50);
        QCOMPARE(rows.size(), 3);
        QCOMPARE(rows[0].taskId, QStringLiteral("new"));
        QCOMPARE(rows[0].orgInn, QStringLiteral("7700000000"));
        QCOMPARE(rows[1].taskId, QStringLiteral("old-2"));
        QCOMPARE(rows[1].message, QStringLiteral("отказ"));
        QVERIFY(!rows[1].ok);
        QCOMPARE(rows[2].taskId, QStringLiteral("old-1"));
        QVERIFY(rows[2].orgInn.isEmpty() && rows[2].signedHash.isEmpty());
    }

    // When org_inn cannot be added (here "journal" is a view over an older table), rows must
    // still be written and read, only without the INN.
    void columnThatCannotBeAddedIsLeftOut()
    {
        {
            RawDb raw(path());
            raw.exec(QString::fromLatin1(kOldTable).replace("TABLE journal", "TABLE rows"));
            raw.exec("INSERT INTO rows (at, task_id, type, payload_hash, ok) "
                     "VALUES ('2024-01-02T03:04:05Z', 'old', 'chz.auth', 'h', 1)");
            raw.exec("CREATE VIEW journal AS SELECT * FROM rows");
            raw.exec("CREATE TRIGGER journal_insert INSTEAD OF INSERT ON journal BEGIN "
                     "INSERT INTO rows (at, task_id, type, payload_hash, signed_hash, ok, message) "
                     "VALUES (NEW.at, NEW.task_id, NEW.type, NEW.payload_hash, NEW.signed_hash, "
                     "NEW.ok, NEW.message); END");
        }
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
        QCOMPARE(rows.size(), 2);
        QCOMPARE(rows[0].taskId, QStringLiteral("new"));
        QVERIFY(rows[0].orgInn.isEmpty());
        QCOMPARE(rows[1].taskId, QStringLiteral("old"));
    }

    void storedForms()
    {
        Journal journal(path());
        QVERIFY(journal.open());
        const JournalEntry full = entry(QStringLiteral("t-1"));
        QVERIFY(journal.append(full));

        JournalEntry enrolment; // no task id, no hash, nothing signed: all null texts
        enrolment.type = QStringLiteral("enroll");
        enrolment.ok = true;
        QString error;
        QVERIFY2(journal.append(enrolment, &error), qPrintable(error));

        JournalEntry noType = entry(QStringLiteral("t-3"));
        noType.type = QString();
        noType.ok = false;
        noType.message = QStringLiteral("Тип задачи «» не поддерживается");
        QVERIFY(journal.append(noType));

        RawDb raw(path());
        QCOMPARE(raw.column("SELECT task_id IS NULL FROM journal ORDER BY id"),
                 QVariantList({0, 0, 0}));
        QCOMPARE(raw.column("SELECT task_id || '|' || type || '|' || payload_hash FROM journal "
                            "ORDER BY id"),
                 QVariantList({"t-1|chz.document|ab", "|enroll|", "t-3||ab"}));
        QCOMPARE(raw.column("SELECT signed_hash IS NULL FROM journal ORDER BY id"),
                 QVariantList({0, 1, 0}));
        QCOMPARE(raw.column("SELECT org_inn IS NULL FROM journal ORDER BY id"),
                 QVariantList({0, 1, 0}));
        QCOMPARE(raw.column("SELECT ok FROM journal ORDER BY id"), QVariantList({1, 1, 0}));

        const QList<JournalEntry> rows = journal.recent(50);
        QCOMPARE(rows.size(), 3);
        const JournalEntry &first = rows[2];
        QVERIFY(first.id > 0);
        QCOMPARE(first.at, full.at);
        QCOMPARE(first.taskId, full.taskId);
        QCOMPARE(first.type, full.type);
        QCOMPARE(first.orgInn, full.orgInn);
        QCOMPARE(first.payloadHash, full.payloadHash);
        QCOMPARE(first.signedHash, full.signedHash);
        QCOMPARE(first.ok, true);
        QVERIFY(first.message.isEmpty());
        QVERIFY(rows[1].taskId.isEmpty() && rows[1].signedHash.isEmpty());
        QCOMPARE(rows[0].message, noType.message);
    }

    void dates()
    {
        Journal journal(path());
        QVERIFY(journal.open());
        const QDateTime before = QDateTime::currentDateTimeUtc().addMSecs(-999);
        JournalEntry now = entry(QStringLiteral("now"));
        now.at = QDateTime();
        QVERIFY(journal.append(now));
        const QDateTime after = QDateTime::currentDateTimeUtc();

        JournalEntry withMs = entry(QStringLiteral("ms"));
        withMs.at = QDateTime(QDate(2025, 12, 31), QTime(23, 59, 58, 750), Qt::UTC);
        QVERIFY(journal.append(withMs));
        JournalEntry offset = entry(QStringLiteral("offset"));
        offset.at = QDateTime(QDate(2025, 6, 1), QTime(12, 0), Qt::OffsetFromUTC, 3 * 3600);
        QVERIFY(journal.append(offset));

        RawDb raw(path());
        raw.exec("INSERT INTO journal (at, task_id, type, payload_hash, ok) "
                 "VALUES ('вчера', 'bad', 'chz.auth', '', 1)");
        const QVariantList stored = raw.column("SELECT at FROM journal ORDER BY id");
        QVERIFY2(QRegularExpression(QStringLiteral(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$)"))
                     .match(stored[0].toString())
                     .hasMatch(),
                 qPrintable(stored[0].toString()));
        QCOMPARE(stored[1].toString(), QStringLiteral("2025-12-31T23:59:58Z"));
        QCOMPARE(stored[2].toString(), QStringLiteral("2025-06-01T12:00:00+03:00"));

        const QList<JournalEntry> rows = journal.recent(4);
        QVERIFY(!rows[0].at.isValid());
        QCOMPARE(rows[1].at, offset.at);
        QCOMPARE(rows[2].at, QDateTime(QDate(2025, 12, 31), QTime(23, 59, 58), Qt::UTC));
        QVERIFY(rows[3].at >= before && rows[3].at <= after);
        QCOMPARE(rows[3].at.timeSpec(), Qt::UTC);
    }

    void recentNewestFirst()
    {
        Journal journal(path());
        QVERIFY(journal.open());
        for (const char *id : {"a", "b", "c"})
            QVERIFY(journal.append(entry(QString::fromLatin1(id))));
        auto ids = [&](int limit) {
            QStringList out;
            qint64 previous = std::numeric_limits<qint64>::max();
            for (const JournalEntry &e : journal.recent(limit)) {
                if (e.id >= previous)
                    return QStringList{QStringLiteral("ids not descending")};
                previous = e.id;
                out.append(e.taskId);
            }
            return out;
        };
        QCOMPARE(ids(50), QStringList({"c", "b", "a"}));
        QCOMPARE(ids(2), QStringList({"c", "b"}));
        QVERIFY(journal.append(entry(QStringLiteral("d")))); // after a read, writing still works
        QCOMPARE(ids(1), QStringList({"d"}));
    }

    void closedJournal()
    {
        Test::LogCapture log;
        Journal journal(path());
        QString error;
        QVERIFY(!journal.append(entry(QStringLiteral("x")), &error));
        QCOMPARE(error, QStringLiteral("Журнал не открыт"));
        QVERIFY(journal.recent(50).isEmpty());
        QVERIFY(journal.open());
        journal.close();
        journal.close();
        QVERIFY(!journal.append(entry(QStringLiteral("x"))));
        QVERIFY(log.lines().isEmpty());
    }

    void twoJournalsAtOnce()
    {
        Journal one(path());
        Journal two(m_dir->filePath(QStringLiteral("other.db")));
        QVERIFY(one.open());
        QVERIFY(two.open());
        QVERIFY(one.append(entry(QStringLiteral("one"))));
        QVERIFY(two.append(entry(QStringLiteral("two"))));
        QCOMPARE(one.recent(50).value(0).taskId, QStringLiteral("one"));
        QCOMPARE(two.recent(50).size(), 1);
        QCOMPARE(two.recent(50).value(0).taskId, QStringLiteral("two"));
    }

    void openFails()
    {
        const QString missing = m_dir->filePath(QStringLiteral("no/such/folder/journal.db"));
        Journal journal(missing);
        QString error;
        QVERIFY(!journal.open(&error));
        QVERIFY2(error.startsWith(QStringLiteral("Не удалось открыть журнал %1: ").arg(missing)),
                 qPrintable(error));
        QVERIFY(!journal.append(entry(QStringLiteral("x")), &error));
        QCOMPARE(error, QStringLiteral("Журнал не открыт"));
    }

    void statementFailures()
    {
        Journal journal(path());
        QVERIFY(journal.open());
        QVERIFY(journal.append(entry(QStringLiteral("x"))));
        RawDb(path()).exec("DROP TABLE journal");

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
