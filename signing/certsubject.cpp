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
    static const QRegularExpression separator(QStringLiteral("[,;+]"));
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
    const qsizetype end = subject.indexOf(separator, from);
    return end < 0 ? subject.size() : end;
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

} // namespace

QString regexCapture(const QString &text, const QString &pattern)
{
    const QRegularExpression expression(pattern, QRegularExpression::CaseInsensitiveOption);
    return expression.match(text).captured(1).trimmed();
}

QString commonName(const QString &subject)
{
    for (const Field &field : subjectFields(subject)) {
        if (field.name.compare(QLatin1String("CN"), Qt::CaseInsensitive) == 0)
            return field.value.isEmpty() ? subject : field.value;
    }
    return subject;
}

QString innFromSubject(const QString &subject)
{
    // Most specific first: the organisation's INN by name and by identifier, then the person's.
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
    QHash<QString, CertificateInfo> chosen;
    for (const CertificateInfo &certificate : certificates) {
        if (certificate.inn.isEmpty() || earlier(now, certificate.validFrom) ||
            !earlier(now, certificate.validTo))
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
