#pragma once

#include "core/signer.h"
#include "core/task.h"

#include <QByteArray>
#include <QString>

namespace Orv {

// "edo.title": signs, detached, the buyer's title of a УПД, but only when it answers the seller's
// title brought along with the task and that seller's title names the organisation as buyer.
class EdoTitleTask : public ITaskHandler
{
public:
    explicit EdoTitleTask(ISigner *signer)
        : m_signer(signer)
    {}
    QString type() const override { return QStringLiteral("edo.title"); }
    TaskOutcome execute(const TaskDescriptor &task) override;

    // Why the buyer's title (raw bytes, encoding by its declaration) must not be signed for `inn`
    // against the seller's title; empty when the two fit together.
    static QString validateBuyerTitle(const QString &inn, const QByteArray &buyerTitle,
                                      const QString &sellerTitleXml);

private:
    ISigner *m_signer;
};

} // namespace Orv
