#pragma once

#include "platform/comcompat.h"

#include <QDateTime>
#include <QString>

// Qt values in and out of the automation types. The signer's calls and the stand-in's objects
// both go through these, so the two sides of a call cannot read a text or a date differently.
namespace Orv {

// The whole text of a BSTR, zero characters included; empty for a null one.
QString fromBstr(BSTR text);
// A new BSTR that the receiver frees; null when it cannot be allocated.
BSTR toBstr(const QString &text);

// The date-time's own calendar fields to the second, as an automation date; false when it is
// invalid or the date has no automation form.
bool toVariantTime(const QDateTime &moment, DATE *date);
// The automation date as a local date-time to the second; false when it is out of range.
bool fromVariantTime(DATE date, QDateTime *moment);

} // namespace Orv
