// Pairing by code, enrolment by certificate and sign-up links: the ways the core gets its token.

#include "core/agentcore.h"

#include "core/journal.h"
#include "core/util.h"
#include "signing/certificatecheck.h"
#include "utm/utmpool.h"

namespace Orv {

void AgentCore::pair(const QString &code)
{
    const QList<CertificateInfo> certificates = m_signer->certificates();
    logItems(Info, QStringLiteral("подключение агента по коду, сертификатов в хранилище:"),
             certificates.size());
    m_client.pair(code, buildCapabilities(certificates, m_pool->statuses()), certificates,
                  [this](bool ok, const AgentClient::PairResult &result, const QString &error) {
                      if (!ok) {
                          logItems(Warn, QStringLiteral("подключение не удалось:"), error);
                          emit pairFailed(error);
                          return;
                      }
                      logItems(Info, QStringLiteral("агент подключён к организации"), result.orgInn,
                               QStringLiteral("токен"), maskSecret(result.token));
                      setToken(result.token);
                      emit paired(result.agentId, result.orgInn, result.orgName);
                      start();
                  });
}

void AgentCore::enrollOrganization(const QString &inn, const QString &thumbprint)
{
    // The store as it is now travels with the enrolment to its end.
    const QList<CertificateInfo> certificates = m_signer->certificates();
    const TaskOutcome check = checkCertificate(m_signer, inn, thumbprint);
    if (!check.ok) {
        logItems(Warn, QStringLiteral("подключение по сертификату невозможно:"), check.message);
        emit enrollFailed(check.message);
        return;
    }
    logItems(Info, QStringLiteral("подключение по сертификату к организации"), inn);
    m_client.enrollChallenge(
        m_token, inn, thumbprint,
        [this, inn, thumbprint, certificates](
            bool ok, const AgentClient::ChallengeResult &challenge, const QString &error) {
            if (!ok) {
                emit enrollFailed(error);
                return;
            }
            signEnrollChallenge(inn, thumbprint, certificates, challenge.challengeId,
                                challenge.data, challenge.detached);
        });
}

void AgentCore::signEnrollChallenge(const QString &inn, const QString &thumbprint,
                                    const QList<CertificateInfo> &certificates,
                                    const QString &challengeId, const QString &data, bool detached)
{
    QString error;
    const QByteArray signature = signBytes(m_signer, data.toUtf8(), thumbprint, detached, &error);
    if (signature.isEmpty()) {
        logItems(Warn, QStringLiteral("подпись для подключения не удалась:"), error);
        emit enrollFailed(error);
        return;
    }
    if (m_journal) {
        // Written now: the signature was made, whatever the server will answer.
        JournalEntry entry;
        entry.at = QDateTime::currentDateTimeUtc();
        entry.type = QStringLiteral("enroll");
        entry.orgInn = inn;
        entry.payloadHash = sha256Hex(data.toUtf8());
        entry.signedHash = entry.payloadHash;
        entry.ok = true;
        m_journal->append(entry);
    }
    m_client.enroll(m_token, challengeId, QString::fromLatin1(signature),
                    buildCapabilities(certificates, m_pool->statuses()), certificates,
                    [this](bool ok, const AgentClient::PairResult &result, const QString &error) {
                        onEnrollAnswer(ok, result, error);
                    });
}

void AgentCore::onEnrollAnswer(bool ok, const AgentClient::PairResult &result, const QString &error)
{
    if (!ok) {
        logItems(Warn, QStringLiteral("подключение по сертификату не удалось:"), error);
        emit enrollFailed(error);
        return;
    }
    if (result.token.isEmpty() && m_token.isEmpty()) {
        emit enrollFailed(
            QStringLiteral("Сервер не вернул токен агента, а сохранённого токена нет"));
        return;
    }
    // An answer without a token adds the organisation to the agent that is already paired.
    if (!result.token.isEmpty())
        setToken(result.token);
    const bool pending = result.status == QLatin1String("PENDING");
    logItems(Info, QStringLiteral("устройство подключено к организации"), result.orgInn,
             pending ? QStringLiteral("и ждёт подтверждения") : QString());
    emit enrolled(result.agentId, result.orgInn, result.orgName, pending);
    if (result.outcome == QLatin1String("REGISTERED") && !result.signupUrl.isEmpty()) {
        logItems(Info, QStringLiteral("организация зарегистрирована подписью"), result.orgInn);
        emit signupStarted(result.orgInn, result.orgName, result.signupUrl);
    }
    // The new organisation reaches the list at once rather than with the next tick.
    if (m_running)
        sendHeartbeat();
    else
        start();
}

void AgentCore::requestSignupLink(const QString &inn)
{
    if (m_token.isEmpty()) {
        emit signupLinkFailed(QStringLiteral("Агент ещё не подключён"));
        return;
    }
    m_client.requestSignupLink(m_token, inn,
                               [this, inn](bool ok, const QString &url, const QString &error) {
                                   if (ok)
                                       emit signupLinkReady(inn, url);
                                   else
                                       emit signupLinkFailed(error);
                               });
}

} // namespace Orv
