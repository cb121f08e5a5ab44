#pragma once

#include "platform/comcompat.h"

#include <QList>
#include <QString>

namespace Orv::ComStandIn {

// The automation classes the stand-in provides, as the plug-in's installer registers them.
struct CadesClass
{
    QString progId;
    QString classId; // "{...}", upper case
};
QList<CadesClass> cadesClasses();

// The registry key of the signing provider the CAdESCOM objects work with.
QString providerKey();

// A new object of one of cadesClasses() (one reference, the caller's), or null.
IDispatch *createCadesObject(const QString &classId);

} // namespace Orv::ComStandIn
