#include "utmhost/tokenprobe.h"

#include "core/util.h"

#include <QRegularExpression>

#include <algorithm>
#include <vector>

namespace Orv::SmartCard {

namespace {

// No reader list or attribute comes near this. A driver that reports more is not given the
// memory: the read into the smaller buffer then fails like any other.
constexpr DWORD kMaxLength = 0x10000;
// 256 data bytes and the status word.
constexpr DWORD kReceiveLength = 258;

QString spacedHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// The response as hexadecimal; a successful one with a short number in it also in decimal.
QString answerText(const ProbeAnswer &probe)
{
    if (!probe.error.isEmpty())
        return probe.error;
    QString text = spacedHex(probe.response);
    const QByteArray &response = probe.response;
    const qsizetype dataSize = response.size() - 2;
    if (dataSize >= 1 && dataSize <= 8 && uchar(response.at(dataSize)) == 0x90 &&
        response.at(dataSize + 1) == 0) {
        text += QStringLiteral(" (десятичное %1)")
                    .arg(response.left(dataSize).toHex().toULongLong(nullptr, 16));
    }
    return text;
}

ReaderInfo scanReader(SCARDCONTEXT context, const QString &name, const Api &api)
{
    ReaderInfo info;
    info.readerName = name;
    const auto reader = reinterpret_cast<LPCWSTR>(name.utf16());
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    const LONG code = api.connect(context, reader, SCARD_SHARE_SHARED,
                                  SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &card, &protocol);
    if (code == SCARD_S_SUCCESS) {
        readReaderAttributes(card, info, api);
        probeCard(card, protocol, info, api);
        api.disconnect(card, SCARD_LEAVE_CARD);
        return info;
    }
    info.connectError = errorText(code);
    // Without a card, or with one held exclusively, the reader still talks about itself.
    if (api.connect(context, reader, SCARD_SHARE_DIRECT, 0, &card, &protocol) == SCARD_S_SUCCESS) {
        readReaderAttributes(card, info, api);
        api.disconnect(card, SCARD_LEAVE_CARD);
    }
    return info;
}

} // namespace

QList<ReaderInfo> scanReaders(QString *error, const Api &api)
{
    SCARDCONTEXT context = 0;
    LONG code = api.establishContext(SCARD_SCOPE_USER, nullptr, nullptr, &context);
    if (code != SCARD_S_SUCCESS) {
        setError(error, QStringLiteral("PC/SC недоступен: %1").arg(errorText(code)));
        return {};
    }
    DWORD length = 0;
    code = api.listReaders(context, nullptr, nullptr, &length);
    if (code != SCARD_S_SUCCESS || length == 0) {
        setError(error, QStringLiteral("считыватели PC/SC: %1").arg(errorText(code)));
        api.releaseContext(context);
        return {};
    }
    // A failed second call leaves the buffer empty, which lists no reader.
    std::vector<WCHAR> buffer(std::min(length, kMaxLength), 0);
    length = DWORD(buffer.size());
    api.listReaders(context, nullptr, buffer.data(), &length);
    const QStringList names = QString::fromUtf16(reinterpret_cast<const char16_t *>(buffer.data()),
                                                 qsizetype(buffer.size()))
                                  .split(QChar(0));
    QList<ReaderInfo> readers;
    for (const QString &name : names) {
        if (name.isEmpty())
            break;
        readers.append(scanReader(context, name, api));
    }
    api.releaseContext(context);
    return readers;
}

void readReaderAttributes(SCARDHANDLE card, ReaderInfo &info, const Api &api)
{
    info.devicePath = attributeWideString(card, SCARD_ATTR_DEVICE_SYSTEM_NAME_W, api);
    info.friendlyName = attributeWideString(card, SCARD_ATTR_DEVICE_FRIENDLY_NAME_W, api);
    info.vendorName = attributeString(card, SCARD_ATTR_VENDOR_NAME, api);
    info.readerSerial = readAttribute(card, SCARD_ATTR_VENDOR_IFD_SERIAL_NO, api);
}

void probeCard(SCARDHANDLE card, DWORD protocol, ReaderInfo &info, const Api &api)
{
    info.atr = readAttribute(card, SCARD_ATTR_ATR_STRING, api);
    const auto send = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    for (const ProbeCommand &row : kProbeCommands) {
        ProbeAnswer answer;
        answer.command = QString::fromLatin1(row.command);
        answer.title = QString::fromUtf8(row.title);
        const QByteArray command = QByteArray::fromHex(row.command);
        QByteArray received(kReceiveLength, '\0');
        DWORD length = kReceiveLength;
        const LONG code = api.transmit(card, send, reinterpret_cast<LPCBYTE>(command.constData()),
                                       DWORD(command.size()), nullptr,
                                       reinterpret_cast<LPBYTE>(received.data()), &length);
        if (code == SCARD_S_SUCCESS)
            answer.response = received.left(qsizetype(length));
        else
            answer.error = errorText(code);
        info.probes.append(answer);
    }
}

QByteArray readAttribute(SCARDHANDLE card, DWORD id, const Api &api)
{
    DWORD length = 0;
    if (api.getAttrib(card, id, nullptr, &length) != SCARD_S_SUCCESS || length == 0)
        return {};
    QByteArray bytes(qsizetype(std::min(length, kMaxLength)), '\0');
    length = DWORD(bytes.size());
    if (api.getAttrib(card, id, reinterpret_cast<LPBYTE>(bytes.data()), &length) != SCARD_S_SUCCESS)
        return {};
    // A driver may report more than the buffer it was given: only the buffer holds its answer.
    bytes.resize(qsizetype(std::min(length, DWORD(bytes.size()))));
    return bytes;
}

QString attributeString(SCARDHANDLE card, DWORD id, const Api &api)
{
    QByteArray bytes = readAttribute(card, id, api);
    while (bytes.endsWith('\0'))
        bytes.chop(1);
    return QString::fromLatin1(bytes);
}

QString attributeWideString(SCARDHANDLE card, DWORD id, const Api &api)
{
    const QByteArray bytes = readAttribute(card, id, api);
    QString text =
        QString::fromUtf16(reinterpret_cast<const char16_t *>(bytes.constData()), bytes.size() / 2);
    return text.remove(QChar(0));
}

QString errorText(LONG code)
{
    switch (quint32(code)) {
    case quint32(SCARD_E_SHARING_VIOLATION):
        return QStringLiteral("носитель занят другой программой монопольно (УТМ?)");
    case quint32(SCARD_E_NO_SMARTCARD):
    case quint32(SCARD_W_REMOVED_CARD):
        return QStringLiteral("карты нет");
    case quint32(SCARD_E_NO_SERVICE):
    case quint32(SCARD_E_SERVICE_STOPPED):
        return QStringLiteral("служба смарт-карт Windows не запущена");
    case quint32(SCARD_E_NO_READERS_AVAILABLE):
        return QStringLiteral("считывателей нет");
    default:
        return QStringLiteral("код 0x%1").arg(quint32(code), 8, 16, QLatin1Char('0'));
    }
}

QStringList formatTokenReport(const ReaderInfo &info)
{
    const QString none = QStringLiteral("—");
    QStringList lines{info.readerName};
    lines << QStringLiteral("  путь устройства: %1")
                 .arg(info.devicePath.isEmpty() ? none : info.devicePath);
    const QString instanceId = instanceIdFromDevicePath(info.devicePath);
    if (!instanceId.isEmpty())
        lines << QStringLiteral("  InstanceId: %1").arg(instanceId);
    if (!info.friendlyName.isEmpty())
        lines << QStringLiteral("  имя устройства: %1").arg(info.friendlyName);
    if (!info.vendorName.isEmpty())
        lines << QStringLiteral("  производитель: %1").arg(info.vendorName);
    lines << QStringLiteral("  серийный считывателя: %1")
                 .arg(info.readerSerial.isEmpty() ? none : spacedHex(info.readerSerial));
    if (!info.connectError.isEmpty()) {
        lines << QStringLiteral("  карта: %1").arg(info.connectError);
        return lines;
    }
    lines << QStringLiteral("  ATR: %1").arg(spacedHex(info.atr));
    for (const ProbeAnswer &probe : info.probes)
        lines << QStringLiteral("  %1 %2 → %3").arg(probe.command, probe.title, answerText(probe));
    return lines;
}

QString instanceIdFromDevicePath(const QString &devicePath)
{
    static const QRegularExpression usbDevice(
        QStringLiteral("USB#(VID_[0-9A-F]{4}&PID_[0-9A-F]{4})#([^#]+)#"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch match = usbDevice.match(devicePath);
    if (!match.hasMatch())
        return {};
    return QStringLiteral("USB\\%1\\%2")
        .arg(match.captured(1).toUpper(), match.captured(2).toUpper());
}

} // namespace Orv::SmartCard
