#include "signing/chztasks.h"

#include "core/util.h"
#include "signing/certificatecheck.h"

#include <QJsonObject>

#include <algorithm>

namespace Orv {

namespace {

bool isBase64Data(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

} // namespace

bool decodeStrictBase64(const QString &text, QByteArray *bytes)
{
    const QByteArray encoded = text.toLatin1();
    const qsizetype padding = encoded.endsWith("==") ? 2 : encoded.endsWith('=') ? 1 : 0;
    if (padding > 0 && encoded.size() % 4 != 0)
        return false;
    // One character beyond a whole group carries only six bits, not a byte: such a text is cut
    // short, and decoding it would silently drop its tail (or, alone, give an empty document).
    if (encoded.size() % 4 == 1)
        return false;
    const auto dataEnd = encoded.cend() - padding;
    if (!std::all_of(encoded.cbegin(), dataEnd, isBase64Data))
        return false;
    *bytes = QByteArray::fromBase64(encoded);
    return !bytes->isEmpty();
}

TaskOutcome ChzAuthTask::execute(const TaskDescriptor &task)
{
    const QString inn = task.payload.value(QLatin1String("inn")).toString();
    const QString thumbprint = task.payload.value(QLatin1String("thumbprint")).toString().toLower();
    const QString data = task.payload.value(QLatin1String("data")).toString();
    if (inn.isEmpty() || thumbprint.isEmpty() || data.isEmpty())
        return TaskOutcome::failure(
            QStringLiteral("В задаче не хватает данных для подписи (ИНН, отпечаток или строка)"));
    if (task.payload.value(QLatin1String("detached")).toBool(false))
        return TaskOutcome::failure(QStringLiteral("Для авторизации в Честном знаке нужна "
                                                   "присоединённая подпись, а задача требует "
                                                   "открепленную"));

    const TaskOutcome outcome =
        signWithCertificate(m_signer, inn, thumbprint, data.toUtf8(), false);
    if (outcome.ok)
        logItems(Info, "подписана строка авторизации ЧЗ, ИНН", inn, "отпечаток", thumbprint);
    return outcome;
}

TaskOutcome ChzDocumentTask::execute(const TaskDescriptor &task)
{
    const QString inn = task.payload.value(QLatin1String("inn")).toString();
    const QString thumbprint = task.payload.value(QLatin1String("thumbprint")).toString().toLower();
    const QString content = task.payload.value(QLatin1String("contentBase64")).toString();
    const QString documentType = task.payload.value(QLatin1String("documentType")).toString();
    if (inn.isEmpty() || thumbprint.isEmpty() || content.isEmpty())
        return TaskOutcome::failure(QStringLiteral(
            "В задаче не хватает данных для подписи документа (ИНН, отпечаток или тело)"));
    if (!task.payload.value(QLatin1String("detached")).toBool(true))
        return TaskOutcome::failure(QStringLiteral("Документ Честного знака подписывается "
                                                   "открепленной подписью, а задача требует "
                                                   "присоединённую"));
    QByteArray document;
    if (!decodeStrictBase64(content, &document))
        return TaskOutcome::failure(QStringLiteral("Тело документа повреждено: это не base64"));

    const TaskOutcome outcome = signWithCertificate(m_signer, inn, thumbprint, document, true);
    if (outcome.ok)
        logItems(Info, "подписан документ", documentType, "ИНН", inn, "размер", document.size());
    return outcome;
}

} // namespace Orv
