#pragma once

#include "core/agentclient.h"
#include "core/devicetokenstore.h"
#include "core/signer.h"

#include <QObject>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariantList>

#include <memory>
#include <optional>
#include <vector>

namespace Orv {

class AgentCore;
class HttpClient;
class Journal;
class UtmHttpClient;

// The object behind the window (the QML context property "agent"). Owns the signer, the journal,
// the HTTP client, the УТМ clients and the agent core, keeps the agent's settings, turns the
// core's signals into one `changed` and one message for the user, and stores the token after
// pairing or enrolment. GUI thread only. Every operation that needs the core does nothing after
// shutdown.
class AppController : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString statusText READ statusText NOTIFY changed)
    Q_PROPERTY(QString state READ state NOTIFY changed)
    Q_PROPERTY(bool connected READ connected NOTIFY changed)
    Q_PROPERTY(bool paired READ paired NOTIFY changed)
    Q_PROPERTY(QString organization READ organization NOTIFY changed)
    Q_PROPERTY(QString signerName READ signerName CONSTANT)
    Q_PROPERTY(QString signerMissing READ signerMissing NOTIFY changed)
    Q_PROPERTY(QString signerMissingText READ signerMissingText NOTIFY changed)
    Q_PROPERTY(QVariantList certificates READ certificates NOTIFY changed)
    Q_PROPERTY(QVariantList enrollCandidates READ enrollCandidates NOTIFY changed)
    Q_PROPERTY(QVariantList organizations READ organizations NOTIFY changed)
    Q_PROPERTY(QVariantList journal READ journal NOTIFY changed)
    Q_PROPERTY(QString lastMessage READ lastMessage NOTIFY changed)
    Q_PROPERTY(bool autostart READ autostart WRITE setAutostart NOTIFY changed)
    Q_PROPERTY(QVariantList utms READ utms NOTIFY changed)

public:
    // An empty `serverUrl` means the built-in address. The application object must be named and
    // the file log installed before this runs.
    explicit AppController(const QString &serverUrl = QString(), QObject *parent = nullptr);
    ~AppController() override;

    // Stops the core, ends its requests and releases the core, the УТМ clients and the HTTP
    // client; a second call does nothing.
    void shutdown();

    QString apiBaseUrl() const { return m_serverUrl; }
    bool isCoreBusy() const;

    QString statusText() const;
    QString state() const;
    bool connected() const;
    bool paired() const;
    QString organization() const { return m_organization; }
    QString signerName() const;
    QString signerMissing() const;
    QString signerMissingText() const;
    QVariantList certificates() const;
    QVariantList enrollCandidates() const;
    QVariantList organizations() const;
    QVariantList journal() const { return m_journalRows; }
    QString lastMessage() const { return m_lastMessage; }
    QVariantList utms() const;

    void setLastMessage(const QString &text);
    // The same, under the name the УТМ host reports its results with.
    void showMessage(const QString &text) { setLastMessage(text); }

    QStringList utmEndpoints() const;
    // Adds (true) or removes (false) an address without a message; used for hosted УТМ.
    void setUtmListed(const QString &endpoint, bool listed);

    bool autostart() const;
    void setAutostart(bool on);
    // "--tray" and the extra options: the command line the agent is started with at logon.
    QStringList autostartArguments() const;
    // Extra options for that command line; an existing entry for this executable is rewritten.
    void setAutostartArgs(const QStringList &arguments);

    Q_INVOKABLE bool addUtm(const QString &endpoint);
    Q_INVOKABLE void removeUtm(const QString &endpoint);
    Q_INVOKABLE void checkUtm();
    Q_INVOKABLE void pair(const QString &code);
    Q_INVOKABLE void enroll(const QString &inn, const QString &thumbprint);
    Q_INVOKABLE void openCabinet(const QString &inn);
    Q_INVOKABLE void unpair();
    Q_INVOKABLE void refreshCertificates();

signals:
    void changed();

private:
    enum class StoredToken { Load, Ignore };

    // What the window's lists are built from, kept for the many reads that follow a change:
    // the window reads every list again after each change, several times over and element by
    // element. What the signer said (a listing goes through the provider's objects, and is
    // logged when the provider is missing) serves every change of the same pass of the event
    // loop, as a task's outcome brings two changes at once; the next pass lists the store again,
    // so a token plugged in shows at the next change. The organisation rows are built again
    // when the core's list is another one, the УТМ rows after each change.
    struct SignerLists
    {
        std::optional<SignerAvailability> availability;
        std::optional<QVariantList> certificates;
        std::optional<QVariantList> enrollCandidates;
    };
    struct CoreLists
    {
        QList<OrganizationLink> organizationSource; // the core's list the rows come from
        std::optional<QVariantList> organizations;
        std::optional<QVariantList> utms;
    };

    // Every change goes out through here: the УТМ rows built before it are forgotten first, as
    // QML reads the properties again inside the emission.
    void notifyChanged();
    SignerAvailability signerAvailability() const;
    void listStore() const;
    // What the signer said is forgotten when control returns to the event loop.
    void forgetSignerLater() const;

    void rebuildCore(StoredToken token);
    void releaseCore();
    void connectCore();
    void onLinked(const QString &inn, const QString &name, const QString &savedMessage);
    void onTaskFinished(const QString &type, bool ok, const QString &message);
    void openInBrowser(const QString &address, const QString &message);
    void refreshJournal();
    void storeUtmList(const QStringList &endpoints);
    void syncUtmClients();
    QString deviceId();

    QSettings m_settings;
    QString m_serverUrl;
    DeviceTokenStore m_tokenStore;
    std::unique_ptr<ISigner> m_signer;
    std::unique_ptr<Journal> m_journal;
    std::unique_ptr<HttpClient> m_http;
    std::vector<std::unique_ptr<UtmHttpClient>> m_utmClients;
    std::unique_ptr<AgentCore> m_core;
    QString m_organization;
    QString m_lastMessage;
    QVariantList m_journalRows;
    QStringList m_extraAutostartArgs;
    mutable SignerLists m_signerLists;
    mutable bool m_signerForgetPosted = false;
    mutable CoreLists m_coreLists;
};

} // namespace Orv
