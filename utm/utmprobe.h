#pragma once

#include "utm/utmclient.h"

#include <QDateTime>
#include <QJsonValue>
#include <QString>

#include <functional>

namespace Orv {

// Last known state of one УТМ.
struct UtmStatus
{
    QString endpoint;
    bool reachable = false; // the last "/diagnosis" answered with a FSRAR ID
    QString fsrarId;
    QString version;
    QString inn;
    QString kpp;
    QDateTime rsaExpiresAt;  // UTC; invalid when unknown
    QDateTime gostExpiresAt; // UTC; invalid when unknown
    QString error;           // why the last check failed; empty after a good "/diagnosis"
    QDateTime checkedAt;     // UTC
};

using UtmStatusCallback = std::function<void(const UtmStatus &)>;

// A 10-digit INN, or a 12-digit one ("00" and ten digits give those ten); empty otherwise.
QString normalizeInn(const QString &text);
// A УТМ key date: "yyyy-MM-dd HH:mm:ss[.zzz] [zone]" (no zone: local time) or ISO 8601, in UTC.
QDateTime parseUtmDate(const QJsonValue &value);

// Finds out who answers at one УТМ address: FSRAR ID, version, key dates, owner. The client is
// not owned; clearing it (by assigning a probe without one) ends a running check at its next step.
class UtmProbe
{
public:
    explicit UtmProbe(IUtmClient *client);

    // Reads "/diagnosis", "/info/version", "/api/info/list" and "/api/rsa" in turn; `done`
    // runs exactly once, with the status the check ends with.
    void refresh(UtmStatusCallback done);
    UtmStatus status() const { return m_status; }
    IUtmClient *client() const { return m_client; }

    static QString parseDiagnosis(const QByteArray &xml);
    static void parseInfoList(const QByteArray &json, UtmStatus *status);
    static void parseRsaRows(const QByteArray &json, UtmStatus *status);
    static QString unreachableText(const QString &address, const QString &detail);

    static constexpr int kRequestTimeoutMs = 5000;

private:
    using Step = void (UtmProbe::*)(IUtmClient *, UtmStatus, const UtmResponse &,
                                    const UtmStatusCallback &);

    void request(IUtmClient *client, const QString &path, const UtmStatus &working,
                 const UtmStatusCallback &done, Step step);
    void onDiagnosis(IUtmClient *client, UtmStatus working, const UtmResponse &response,
                     const UtmStatusCallback &done);
    void onVersion(IUtmClient *client, UtmStatus working, const UtmResponse &response,
                   const UtmStatusCallback &done);
    void onInfoList(IUtmClient *client, UtmStatus working, const UtmResponse &response,
                    const UtmStatusCallback &done);
    void onRsa(IUtmClient *client, UtmStatus working, const UtmResponse &response,
               const UtmStatusCallback &done);
    void finish(const UtmStatus &status, const UtmStatusCallback &done);

    IUtmClient *m_client = nullptr;
    UtmStatus m_status;
};

} // namespace Orv
