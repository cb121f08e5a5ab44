#include "platform/comvalues.h"

#include <QHash>

namespace Orv {

QString fromBstr(BSTR text)
{
    return QString(reinterpret_cast<const QChar *>(text), qsizetype(SysStringLen(text)));
}

BSTR toBstr(const QString &text)
{
    return SysAllocStringLen(reinterpret_cast<const OLECHAR *>(text.utf16()), UINT(text.size()));
}

bool toVariantTime(const QDateTime &moment, DATE *date)
{
    SYSTEMTIME fields = {};
    fields.wYear = WORD(moment.date().year());
    fields.wMonth = WORD(moment.date().month());
    fields.wDay = WORD(moment.date().day());
    fields.wHour = WORD(moment.time().hour());
    fields.wMinute = WORD(moment.time().minute());
    fields.wSecond = WORD(moment.time().second());
    return moment.isValid() && SystemTimeToVariantTime(&fields, date);
}

bool fromVariantTime(DATE date, QDateTime *moment)
{
    // Every listing of the certificate store brings the same dates again, and making a local
    // date-time looks the system's time zone up; the dates made last are kept.
    thread_local QHash<DATE, QDateTime> made;
    const auto known = made.constFind(date);
    if (known != made.cend()) {
        *moment = *known;
        return true;
    }
    SYSTEMTIME fields = {};
    if (!VariantTimeToSystemTime(date, &fields))
        return false;
    *moment = QDateTime(QDate(fields.wYear, fields.wMonth, fields.wDay),
                        QTime(fields.wHour, fields.wMinute, fields.wSecond), Qt::LocalTime);
    if (made.size() >= 4096)
        made.clear();
    made.insert(date, *moment);
    return true;
}

} // namespace Orv
