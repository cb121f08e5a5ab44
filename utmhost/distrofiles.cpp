#include "utmhost/distrofiles.h"

#include <QRegularExpression>

namespace Orv {

bool isValidImageRef(const QString &ref)
{
    static const QRegularExpression pattern(
        QRegularExpression::anchoredPattern(QStringLiteral("[a-z0-9][a-z0-9./_:-]{0,200}")));
    return pattern.match(ref).hasMatch();
}

} // namespace Orv
