#pragma once

// Control of the COM stand-in of non-Windows builds, for the developer tool and for tests: where
// its registry and certificate stores live, the registration of the signing provider and of the
// CAdESCOM automation classes, test certificates, fault injection and a log of the calls the
// emulated objects receive. Everything lives under one folder of the user's configuration
// folder, so a test moves all of it by pointing XDG_CONFIG_HOME elsewhere.

#include "platform/comcompat.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace Orv::ComStandIn {

QString rootPath();
// The stand-in registry: one JSON file of keys, each an object of text values.
QString registryPath();
// A certificate store: `location` is "CurrentUser" or "LocalMachine", `name` e.g. "My".
QString storePath(const QString &location, const QString &name);
// The certificate of the test authority that issues every test certificate.
QString testAuthorityPath();

// Writes `bytes` whole to `path`, a file of the stand-in's folder. Keys and PINs lie there in
// clear, so the folders and each file are the user's alone. False with the reason in `error`.
bool writePrivateFile(const QString &path, const QByteArray &bytes, QString *error = nullptr);

bool setRegistryText(const QString &key, const QString &name, const QString &value,
                     QString *error = nullptr);
// Removes the key with all its subkeys.
bool removeRegistryKey(const QString &key, QString *error = nullptr);

// The provider of type 80 and the four CAdESCOM classes (ProgID and class id).
bool installProvider(QString *error = nullptr);
bool removeProvider(QString *error = nullptr);
bool installPlugin(QString *error = nullptr);
bool removePlugin(QString *error = nullptr);
// Removes one class's ProgID and class-id registration, e.g. "CAdESCOM.CPSigner".
bool removeClass(const QString &progId, QString *error = nullptr);

struct CertificateRequest
{
    QString fileName; // base name of the file in the store folder
    QString location = QStringLiteral("CurrentUser");
    QString store = QStringLiteral("My");
    QString commonName;
    QString organization;
    QString innLe;  // ИНН ЮЛ, 1.2.643.100.4
    QString inn;    // ИНН, 1.2.643.3.131.1.1
    QString ogrn;   // ОГРН, 1.2.643.100.1
    QString ogrnip; // ОГРНИП, 1.2.643.100.5
    QString snils;  // СНИЛС, 1.2.643.100.3
    QDateTime notBefore;
    QDateTime notAfter;
    enum class KeyType { Ec, Rsa } keyType = KeyType::Ec;
    enum class Format { Pkcs12, Pem } format = Format::Pkcs12;
    bool withPrivateKey = true;
    QString pin;         // protects the private key; empty: unprotected
    QString pinFileText; // written to "<fileName>.pin" when not empty; another text than `pin`
                         // makes a wrong PIN
};

struct CreatedCertificate
{
    bool ok = false;
    QString error;
    QString path;
    QString thumbprint; // upper-case hex SHA-1, as the store shows it
};

CreatedCertificate createCertificate(const CertificateRequest &request);

// Fault injection, for this process only. `className` is a ProgID or the class name of an
// object the store hands out ("CAdESCOM.Certificates", "CAdESCOM.Certificate",
// "CAdESCOM.CPAttributes"); names compare case-insensitively. A fault with a description raises
// an automation exception (DISP_E_EXCEPTION) whose status is `code`; without one, Invoke itself
// answers `code`.
void setFault(const QString &className, const QString &member, HRESULT code,
              const QString &description);
// The member answers success with no value (VT_EMPTY).
void setEmptyResult(const QString &className, const QString &member);
void clearFaults();

// One line per object created ("new CAdESCOM.Store") and per member call: "Class.Member" for a
// property read, "Class.Member = value" for a write, "Class.Member(arguments)" for a call. Texts
// are quoted, dates written #yyyy-MM-ddTHH:mm:ss#, objects <Class>.
void setCallLogEnabled(bool enabled);
QStringList callLog();
void clearCallLog();

// What the stand-in read from its files (registry, certificates, keys) is kept while a file
// stays as it was; a file changed less than `ms` ago is read again each time, as a change
// within one tick of the file system's clock leaves its stamp as it was. The default is longer
// than the coarsest clock of the usual file systems (ext3 and FAT count whole seconds); tests
// that change files only by replacing them or changing their size set 0.
constexpr int kSettleMs = 3000;
void setSettleTime(int ms);

// Leak accounting: BSTRs allocated and not freed, emulated objects not yet released.
int liveStringCount();
int liveObjectCount();

} // namespace Orv::ComStandIn
