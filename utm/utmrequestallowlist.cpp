#include "utm/utmrequestallowlist.h"

#include <QRegularExpression>

namespace Orv::UtmRequestPolicy {
namespace {

// Whole paths: "$" alone would also let a path with a line feed at its end pass.
const QRegularExpression &chequeRoute()
{
    static const QRegularExpression route(
        QRegularExpression::anchoredPattern(QStringLiteral("/xml\\?type=([A-Za-z0-9_]+)")));
    return route;
}

const QRegularExpression &inboxRoute()
{
    static const QRegularExpression route(
        QRegularExpression::anchoredPattern(QStringLiteral("/opt/in/([A-Za-z0-9_]+)")));
    return route;
}

QString beforeQuery(const QString &path)
{
    return path.section(u'?', 0, 0);
}

// The network layer decodes percent escapes and folds "." and ".." segments before the request
// leaves, so a path that passed the checks as text could reach another page of the УТМ. Only
// paths that go out exactly as they were checked are forwarded.
bool goesOutAsWritten(const QString &path)
{
    if (!path.startsWith(u'/') || path.startsWith(QStringLiteral("//")) ||
        path.contains(QStringLiteral("..")))
        return false;
    const QString part = beforeQuery(path);
    for (const QChar c : part) {
        if (c == u'%' || c == u'\\' || c == u'#' || c.isSpace() ||
            c.category() == QChar::Other_Control)
            return false;
    }
    const QStringList segments = part.split(u'/');
    return !segments.contains(QStringLiteral(".")) && !segments.contains(QStringLiteral(".."));
}

} // namespace

const QStringList &chequeTypes()
{
    static const QStringList types{QStringLiteral("ChequeV4")};
    return types;
}

const QStringList &queryTypes()
{
    static const QStringList types{
        QStringLiteral("QueryRests_v3"),     QStringLiteral("QueryRests_Mini_v3"),
        QStringLiteral("QueryRestsShop_v2"), QStringLiteral("QueryRestsShop_Mini"),
        QStringLiteral("QueryRestBCode"),    QStringLiteral("QueryNATTN"),
        QStringLiteral("QueryResendDoc"),    QStringLiteral("QueryAP_v2"),
        QStringLiteral("QueryClients_v2")};
    return types;
}

const QStringList &writeTypes()
{
    static const QStringList types{
        QStringLiteral("WayBillAct_v4"),    QStringLiteral("ActWriteOff_v3"),
        QStringLiteral("ActWriteOff_v4"),   QStringLiteral("ActWriteOffShop_v2"),
        QStringLiteral("TransferFromShop"), QStringLiteral("TransferToShop"),
        QStringLiteral("ActChargeOn_v2"),   QStringLiteral("ActChargeOnShop_v2"),
        QStringLiteral("RequestRepealWB"),  QStringLiteral("RequestRepealAWO"),
        QStringLiteral("RequestRepealACO")};
    return types;
}

const QStringList &readOnlyPaths()
{
    static const QStringList paths{QStringLiteral("/diagnosis"), QStringLiteral("/info/version"),
                                   QStringLiteral("/api/info/list"), QStringLiteral("/api/rsa")};
    return paths;
}

QString inboxType(const QString &path)
{
    return inboxRoute().match(path).captured(1);
}

QString check(const QString &method, const QString &path, const Permissions &permissions)
{
    if (!goesOutAsWritten(path))
        return QStringLiteral("Путь «%1» не похож на путь УТМ").arg(path);
    if (method == QStringLiteral("GET"))
        return checkRead(path);
    if (method == QStringLiteral("POST"))
        return checkSend(path, permissions.allowWrite);
    if (method == QStringLiteral("DELETE"))
        return checkDelete(path, permissions.allowDelete);
    return QStringLiteral("Метод %1 не входит в разрешённое").arg(method);
}

QString checkRead(const QString &path)
{
    const QString part = beforeQuery(path);
    if (part == QStringLiteral("/opt/out") || part.startsWith(QStringLiteral("/opt/out/")) ||
        readOnlyPaths().contains(part))
        return {};
    return QStringLiteral("Чтение %1 не входит в разрешённое").arg(part);
}

QString checkSend(const QString &path, bool allowWrite)
{
    const QRegularExpressionMatch cheque = chequeRoute().match(path);
    if (cheque.hasMatch()) {
        if (!chequeTypes().contains(cheque.captured(1)))
            return QStringLiteral("Чек %1 не входит в разрешённое").arg(cheque.captured(1));
        if (!allowWrite)
            return QStringLiteral("Чек меняет учёт в ЕГАИС, а запись для этого УТМ выключена");
        return {};
    }
    const QString type = inboxType(path);
    if (type.isEmpty())
        return QStringLiteral("Отправка на %1 не входит в разрешённое").arg(path);
    if (queryTypes().contains(type))
        return {};
    if (!writeTypes().contains(type))
        return QStringLiteral("Тип документа %1 не входит в разрешённое").arg(type);
    if (!allowWrite)
        return QStringLiteral("Отправка %1 меняет учёт в ЕГАИС, а запись для этого УТМ выключена")
            .arg(type);
    return {};
}

QString checkDelete(const QString &path, bool allowDelete)
{
    if (!path.startsWith(QStringLiteral("/opt/out/")))
        return QStringLiteral("Удаление %1 не входит в разрешённое").arg(path);
    if (!allowDelete)
        return QStringLiteral("Удаление из очереди УТМ выключено: пока ВЕСТРИК читает ту же "
                              "очередь, документы не удаляются");
    return {};
}

} // namespace Orv::UtmRequestPolicy
