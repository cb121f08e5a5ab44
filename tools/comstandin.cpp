// Sets up the COM stand-in of non-Windows builds for a developer: registers or removes the
// signing provider and the CAdESCOM classes, issues test certificates with INN fields into the
// personal store and lists what the signer sees there.

#include "platform/comstandin.h"
#include "signing/cadescomsigner.h"
#include "signing/certsubject.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

#include <functional>

using namespace Orv;

namespace {

QTextStream &out()
{
    static QTextStream stream(stdout);
    return stream;
}

int fail(const QString &text)
{
    QTextStream(stderr) << text << Qt::endl;
    return 1;
}

int status()
{
    CadesComSigner signer;
    static const char *const states[] = {"готов", "нет провайдера типа 80", "нет классов CAdESCOM"};
    out() << "папка стенда: " << ComStandIn::rootPath() << Qt::endl
          << "реестр: " << ComStandIn::registryPath() << Qt::endl
          << "личное хранилище: "
          << ComStandIn::storePath(QStringLiteral("CurrentUser"), QStringLiteral("My")) << Qt::endl
          << "тестовый УЦ: " << ComStandIn::testAuthorityPath() << Qt::endl
          << "подпись: " << states[int(signer.availability())] << Qt::endl;
    return 0;
}

int list()
{
    CadesComSigner signer;
    for (const CertificateInfo &info : signer.certificates()) {
        out() << info.thumbprint << "  ИНН " << (info.inn.isEmpty() ? "-" : info.inn) << "  "
              << info.validFrom.toString(Qt::ISODate) << " .. "
              << info.validTo.toString(Qt::ISODate) << "  " << certificateTitle(info) << Qt::endl
              << "    " << info.subject << Qt::endl;
    }
    return 0;
}

int registration(const QCommandLineParser &parser, bool install)
{
    QString error;
    const bool providerOnly = parser.isSet(QStringLiteral("provider-only"));
    const bool pluginOnly = parser.isSet(QStringLiteral("plugin-only"));
    const auto provider = install ? ComStandIn::installProvider : ComStandIn::removeProvider;
    const auto plugin = install ? ComStandIn::installPlugin : ComStandIn::removePlugin;
    if ((!pluginOnly && !provider(&error)) || (!providerOnly && !plugin(&error)))
        return fail(error);
    return status();
}

int createCertificate(const QCommandLineParser &parser)
{
    ComStandIn::CertificateRequest request;
    request.commonName = parser.value(QStringLiteral("cn"));
    request.organization = parser.value(QStringLiteral("org"));
    request.innLe = parser.value(QStringLiteral("inn-le"));
    request.inn = parser.value(QStringLiteral("inn"));
    request.ogrn = parser.value(QStringLiteral("ogrn"));
    request.ogrnip = parser.value(QStringLiteral("ogrnip"));
    request.snils = parser.value(QStringLiteral("snils"));
    request.fileName = parser.value(QStringLiteral("name"));
    request.pin = parser.value(QStringLiteral("pin"));
    request.pinFileText = parser.isSet(QStringLiteral("pin-file-text"))
                              ? parser.value(QStringLiteral("pin-file-text"))
                              : request.pin;
    bool ok = true;
    const int days = parser.value(QStringLiteral("days")).toInt(&ok);
    if (!ok || request.commonName.isEmpty())
        return fail(QStringLiteral("Нужны --cn и целое --days"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    request.notBefore = days < 0 ? now.addDays(days - 365) : now.addDays(-1);
    request.notAfter = now.addDays(days);
    if (parser.isSet(QStringLiteral("rsa")))
        request.keyType = ComStandIn::CertificateRequest::KeyType::Rsa;
    if (parser.isSet(QStringLiteral("pem")))
        request.format = ComStandIn::CertificateRequest::Format::Pem;
    request.withPrivateKey = !parser.isSet(QStringLiteral("no-key"));
    const ComStandIn::CreatedCertificate created = ComStandIn::createCertificate(request);
    if (!created.ok)
        return fail(created.error);
    out() << created.thumbprint.toLower() << "  " << created.path << Qt::endl;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("orv-comstandin"));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Стенд подписи для сборок не под Windows.\n"
        "  status       где лежат реестр, хранилище и тестовый УЦ; готова ли подпись\n"
        "  install      зарегистрировать провайдер и классы CAdESCOM\n"
        "  remove       удалить их регистрацию\n"
        "  create-cert  выпустить тестовый сертификат в личное хранилище\n"
        "  list         сертификаты личного хранилища, как их видит агент"));
    parser.addHelpOption();
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("status | install | remove | create-cert | list"));
    parser.addOptions({
        {QStringLiteral("provider-only"), QStringLiteral("install/remove: только провайдер")},
        {QStringLiteral("plugin-only"), QStringLiteral("install/remove: только классы CAdESCOM")},
        {QStringLiteral("cn"), QStringLiteral("CN владельца"), QStringLiteral("text")},
        {QStringLiteral("org"), QStringLiteral("организация (O)"), QStringLiteral("text")},
        {QStringLiteral("inn-le"), QStringLiteral("ИНН ЮЛ, 10 цифр"), QStringLiteral("digits")},
        {QStringLiteral("inn"), QStringLiteral("ИНН, 12 цифр"), QStringLiteral("digits")},
        {QStringLiteral("ogrn"), QStringLiteral("ОГРН"), QStringLiteral("digits")},
        {QStringLiteral("ogrnip"), QStringLiteral("ОГРНИП"), QStringLiteral("digits")},
        {QStringLiteral("snils"), QStringLiteral("СНИЛС"), QStringLiteral("digits")},
        {QStringLiteral("days"),
         QStringLiteral("срок действия в днях от сегодня (отрицательный: истёк)"),
         QStringLiteral("days"), QStringLiteral("365")},
        {QStringLiteral("pin"), QStringLiteral("PIN ключа (и файла PIN)"), QStringLiteral("pin")},
        {QStringLiteral("pin-file-text"),
         QStringLiteral("что записать в файл PIN вместо --pin (неверный PIN)"),
         QStringLiteral("text")},
        {QStringLiteral("pem"), QStringLiteral("PEM вместо PKCS#12")},
        {QStringLiteral("no-key"), QStringLiteral("без закрытого ключа")},
        {QStringLiteral("rsa"), QStringLiteral("ключ RSA 2048 вместо EC P-256")},
        {QStringLiteral("name"), QStringLiteral("имя файла без расширения"),
         QStringLiteral("name")},
    });
    parser.process(application);

    const QString command = parser.positionalArguments().value(0);
    if (command == QLatin1String("status"))
        return status();
    if (command == QLatin1String("install") || command == QLatin1String("remove"))
        return registration(parser, command == QLatin1String("install"));
    if (command == QLatin1String("create-cert"))
        return createCertificate(parser);
    if (command == QLatin1String("list"))
        return list();
    parser.showHelp(1);
}
