#pragma once

#include "core/signer.h"
#include "core/task.h"

#include <QByteArray>
#include <QString>

namespace Orv {

// Base64 as documents arrive in tasks: the standard alphabet only, "=" only as the final padding
// of a text whose length is a multiple of four (a text without padding is fine), nothing else,
// not even line breaks. False also when nothing would be decoded.
bool decodeStrictBase64(const QString &text, QByteArray *bytes);

// "chz.auth": signs the marking system's login string (its UTF-8 bytes), attached.
class ChzAuthTask : public ITaskHandler
{
public:
    explicit ChzAuthTask(ISigner *signer)
        : m_signer(signer)
    {}
    QString type() const override { return QStringLiteral("chz.auth"); }
    TaskOutcome execute(const TaskDescriptor &task) override;

private:
    ISigner *m_signer;
};

// "chz.document": signs a marking-system document delivered in base64, detached.
class ChzDocumentTask : public ITaskHandler
{
public:
    explicit ChzDocumentTask(ISigner *signer)
        : m_signer(signer)
    {}
    QString type() const override { return QStringLiteral("chz.document"); }
    TaskOutcome execute(const TaskDescriptor &task) override;

private:
    ISigner *m_signer;
};

} // namespace Orv
