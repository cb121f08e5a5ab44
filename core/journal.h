#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <memory>

class QSqlQuery;

namespace Orv {

// One row of the journal of signatures.
struct JournalEntry
{
    qint64 id = 0;  // given by the database; ignored when appending
    QDateTime at;   // invalid: "now" when appending
    QString taskId; // empty for an enrolment
    QString type;   // task type, or "enroll"
    QString orgInn; // may be empty
    QString payloadHash;
    QString signedHash; // empty when nothing was signed or sent
    bool ok = false;
    QString message; // failure text; empty on success
};

// The SQLite journal of every executed task and enrolment signature. Synchronous, GUI thread
// only; each object has a connection of its own. Failures are values: Russian texts for the user
// in `error`, an empty list from `recent`.
class Journal
{
public:
    explicit Journal(const QString &path);
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    bool open(QString *error = nullptr);
    void close();
    bool append(const JournalEntry &entry, QString *error = nullptr);
    // At most `limit` rows, newest first.
    QList<JournalEntry> recent(int limit);

private:
    static bool hasColumn(const QString &connection, const QString &column);
    QSqlQuery *statement(std::unique_ptr<QSqlQuery> &slot, const QString &sql, QString *error);

    QString m_path;
    QString m_connection;
    bool m_open = false;
    bool m_hasOrgInn = false;
    std::unique_ptr<QSqlQuery> m_insert;
    std::unique_ptr<QSqlQuery> m_select;
};

} // namespace Orv
