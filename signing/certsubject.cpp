#include "signing/certsubject.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>

namespace Orv {

namespace {

// An INN is exactly 10 or 12 digits: a longer run is not an INN at all, rather than one whose
// tail was cut off, and 11 digits are nobody's INN.
constexpr auto kInnValue = u"^([0-9]{12}|[0-9]{10})(?![0-9])";

struct Field
{
    QString name;
    QString value; // as written, quotation marks included
};

// Where the value that starts at `from` ends: at the next separator, unless it is quoted (inner
// marks doubled), when separators inside the marks belong to it. A mark that is never closed is
// an ordinary character.
qsizetype valueEnd(const QString &subject, qsizetype from)
{
    qsizetype at = from;
    while (at < subject.size() && subject[at].isSpace())
        ++at;
    if (at < subject.size() && subject[at] == u'"') {
        for (qsizetype i = at + 1; i < subject.size(); ++i) {
            if (subject[i] != u'"')
                continue;
            if (i + 1 < subject.size() && subject[i + 1] == u'"') {
                ++i;
                continue;
            }
            from = i + 1;
            break;
        }
    }
    for (qsizetype i = from; i < subject.size(); ++i) {
        if (subject[i] == u',' || subject[i] == u';' || subject[i] == u'+')
            return i;
    }
    return subject.size();
}

// The subject's fields in their order. A name or an INN inside a quoted value (a company name
// may hold anything) is part of that value, never a field of its own.
QList<Field> subjectFields(const QString &subject)
{
    QList<Field> fields;
    qsizetype at = 0;
    while (at < subject.size()) {
        const qsizetype end = valueEnd(subject, at);
        const QString piece = subject.mid(at, end - at);
        const qsizetype equals = piece.indexOf(u'=');
        if (equals < 0) {
            at = end + 1;
            continue;
        }
        const qsizetype valueFrom = at + equals + 1;
        const qsizetype valueTo = valueEnd(subject, valueFrom);
        fields.append(
            {piece.left(equals).trimmed(), subject.mid(valueFrom, valueTo - valueFrom).trimmed()});
        at = valueTo + 1;
    }
    return fields;
}

// Invalid date-times count as earlier than every valid one, so a missing start of validity
// never blocks and a missing end never qualifies.
bool earlier(const QDateTime &a, const QDateTime &b)
{
    if (!a.isValid())
        return b.isValid();
    if (!b.isValid())
        return false;
    return a < b;
}

// What `read` gives for `subject`, kept in `known`: every listing of the store brings the same
// subjects again.
template<typename Read>
QString remembered(QHash<QString, QString> &known, const QString &subject, Read read)
{
    const auto found = known.constFind(subject);
    if (found != known.cend())
        return *found;
    if (known.size() >= 4096)
        known.clear();
    return *known.insert(subject, read(subject));
}

// The organisation's INN by name and by identifier first, then the person's; empty when the
// subject names none.
QString readInn(const QString &subject)
{
    const auto name = [](const char16_t *pattern) {
        return QRegularExpression(QRegularExpression::anchoredPattern(QString::fromUtf16(pattern)),
                                  QRegularExpression::CaseInsensitiveOption);
    };
    static const QRegularExpression names[] = {
        name(u"ИНН\\s*ЮЛ"),  name(u"1\\.2\\.643\\.100\\.4"),
        name(u"ИНН"),        name(u"1\\.2\\.643\\.3\\.131\\.1\\.1"),
        name(u"INN(?:LE)?"),
    };
    const QList<Field> fields = subjectFields(subject);
    for (const QRegularExpression &named : names) {
        for (const Field &field : fields) {
            const QString inn = named.match(field.name).hasMatch()
                                    ? regexCapture(field.value, QString::fromUtf16(kInnValue))
                                    : QString();
            if (inn.isEmpty())
                continue;
            // An organisation's 10-digit INN is sometimes written in 12 positions.
            if (inn.size() == 12 && inn.startsWith(QStringLiteral("00")))
                return inn.mid(2);
            return inn;
        }
    }
    return {};
}

} // namespace

QString regexCapture(const QString &text, const QString &pattern)
{
    // Every certificate of every listing goes through the same few patterns; each is compiled
    // once per thread instead of once per call.
    thread_local QHash<QString, QRegularExpression> compiled;
    auto expression = compiled.constFind(pattern);
    if (expression == compiled.cend())
        expression = compiled.insert(
            pattern, QRegularExpression(pattern, QRegularExpression::CaseInsensitiveOption));
    return expression->match(text).captured(1).trimmed();
}

QString commonName(const QString &subject)
{
    thread_local QHash<QString, QString> known;
    return remembered(known, subject, [](const QString &text) {
        for (const Field &field : subjectFields(text)) {
            if (field.name.compare(QLatin1String("CN"), Qt::CaseInsensitive) == 0)
                return field.value.isEmpty() ? text : field.value;
        }
        return text;
    });
}

QString innFromSubject(const QString &subject)
{
    thread_local QHash<QString, QString> known;
    return remembered(known, subject, readInn);
}
QString certificateTitle(const CertificateInfo &certificate)
{
    QString title = commonName(certificate.subject).trimmed();
    if (title.size() >= 2 && title.startsWith(u'"') && title.endsWith(u'"'))
        title = title.mid(1, title.size() - 2);
    return title.replace(QStringLiteral("\"\""), QStringLiteral("\""));
}

bool isPersonalInn(const QString &inn)
{
    return inn.size() == 12;
}

bool certificateOrder(const CertificateInfo &a, const CertificateInfo &b)
{
    const bool aPersonal = isPersonalInn(a.inn);
    if (aPersonal != isPersonalInn(b.inn))
        return !aPersonal;
    if (earlier(b.validTo, a.validTo))
        return true;
    if (earlier(a.validTo, b.validTo))
        return false;
    return a.inn < b.inn;
}

QList<CertificateInfo> selectSigningCertificates(const QList<CertificateInfo> &certificates,
                                                 const QDateTime &now)
{
    // The store gives its dates in local time; compared with a local `now` they need no look at
    // the time zone each (the instants compared are the same).
    const QDateTime localNow = now.toLocalTime();
    QHash<QString, CertificateInfo> chosen;
    for (const CertificateInfo &certificate : certificates) {
        if (certificate.inn.isEmpty() || earlier(localNow, certificate.validFrom) ||
            !earlier(localNow, certificate.validTo))
            continue;
        const auto previous = chosen.constFind(certificate.inn);
        if (previous != chosen.cend() && !earlier(previous->validTo, certificate.validTo))
            continue;
        chosen.insert(certificate.inn, certificate);
    }
    QList<CertificateInfo> selected = chosen.values();
    std::sort(selected.begin(), selected.end(), certificateOrder);
    return selected;
}

} // namespace Orv
