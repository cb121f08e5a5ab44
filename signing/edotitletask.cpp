#include "signing/edotitletask.h"

#include "core/util.h"
#include "signing/certificatecheck.h"
#include "signing/chztasks.h"
#include "signing/updreader.h"

#include <QJsonObject>

namespace Orv {

TaskOutcome EdoTitleTask::execute(const TaskDescriptor &task)
{
    const QString inn = task.payload.value(QLatin1String("inn")).toString();
    const QString thumbprint = task.payload.value(QLatin1String("thumbprint")).toString().toLower();
    const QString content = task.payload.value(QLatin1String("contentBase64")).toString();
    const QString sellerTitle = task.payload.value(QLatin1String("sellerTitleXml")).toString();
    if (inn.isEmpty() || thumbprint.isEmpty() || content.isEmpty())
        return TaskOutcome::failure(QStringLiteral(
            "В задаче не хватает данных для подписи титула (ИНН, отпечаток или тело)"));
    if (sellerTitle.isEmpty())
        return TaskOutcome::failure(QStringLiteral(
            "В задаче нет титула продавца — не с чем сверить, кому адресован документ"));
    if (!task.payload.value(QLatin1String("detached")).toBool(true))
        return TaskOutcome::failure(QStringLiteral("Титул покупателя подписывается открепленной "
                                                   "подписью, а задача требует присоединённую"));
    QByteArray title;
    if (!decodeStrictBase64(content, &title))
        return TaskOutcome::failure(QStringLiteral("Титул покупателя повреждён: это не base64"));
    const QString refusal = validateBuyerTitle(inn, title, sellerTitle);
    if (!refusal.isEmpty())
        return TaskOutcome::failure(refusal);

    const TaskOutcome outcome = signWithCertificate(m_signer, inn, thumbprint, title, true);
    if (outcome.ok)
        logItems(Info, "подписан титул покупателя, ИНН", inn, "размер", title.size());
    return outcome;
}

QString EdoTitleTask::validateBuyerTitle(const QString &inn, const QByteArray &buyerTitle,
                                         const QString &sellerTitleXml)
{
    const Upd::BuyerTitleInfo buyer = Upd::readBuyerTitle(Upd::decodeXml(buyerTitle));
    if (!buyer.ok)
        return buyer.error;
    const Upd::SellerTitleInfo seller = Upd::readSellerTitle(sellerTitleXml);
    if (!seller.ok)
        return seller.error;
    if (buyer.sellerFileRef.isEmpty() || buyer.sellerFileRef != seller.fileId)
        return QStringLiteral("Титул покупателя отвечает не на этот документ продавца: в нём «%1», "
                              "у продавца «%2»")
            .arg(buyer.sellerFileRef, seller.fileId);
    if (seller.buyerInns.isEmpty())
        return QStringLiteral(
            "В титуле продавца нет ИНН покупателя — подписывать приёмку такого документа нельзя");
    if (!seller.buyerInns.contains(inn))
        return QStringLiteral("Покупателем в УПД указана не организация с ИНН %1, а %2")
            .arg(inn, seller.buyerInns.join(QStringLiteral(", ")));
    return {};
}

} // namespace Orv
