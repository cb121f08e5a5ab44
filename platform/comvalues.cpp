#include "platform/comvalues.h"

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
    SYSTEMTIME fields = {};
    if (!VariantTimeToSystemTime(date, &fields))
        return false;
    *moment = QDateTime(QDate(fields.wYear, fields.wMonth, fields.wDay),
                        QTime(fields.wHour, fields.wMinute, fields.wSecond), Qt::LocalTime);
    return true;
}

} // namespace Orv
