#include "signing/certsubject.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>

namespace Orv {

namespace {

// An INN is exactly 10 or 12 digits: a longer run is not an INN at all, rather than one whose
// tail was cut off, and 11 digits are nobody's INN.
constexpr auto kInnValue = u"\\s*=\\s*([0-9]{12}|[0-9]{10})(?![0-9])";

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
    const QString name = regexCapture(subject, QStringLiteral("(?:^|,)\\s*CN\\s*=\\s*([^,]+)"));
    return name.isEmpty() ? subject : name;
}

QString innFromSubject(const QString &subject)
{
    // Most specific first: the organisation's INN by name and by identifier, then the person's.
    static const QStringList patterns = [] {
        QStringList list;
        for (const char16_t *name : {u"ИНН\\s*ЮЛ", u"1\\.2\\.643\\.100\\.4", u"ИНН",
                                     u"1\\.2\\.643\\.3\\.131\\.1\\.1", u"INN(?:LE)?"})
            list.append(QStringLiteral("(?:^|,|\\s)") + QString::fromUtf16(name) +
                        QString::fromUtf16(kInnValue));
        return list;
    }();
    for (const QString &pattern : patterns) {
        const QString inn = regexCapture(subject, pattern);
        if (inn.isEmpty())
            continue;
        // An organisation's 10-digit INN is sometimes written in 12 positions.
        if (inn.size() == 12 && inn.startsWith(QStringLiteral("00")))
            return inn.mid(2);
        return inn;
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
