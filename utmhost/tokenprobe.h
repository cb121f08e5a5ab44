#pragma once

#include "platform/scardcompat.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Read-only diagnostics of the PC/SC readers of this PC, for the log: what each reader says about
// itself, the card's ATR and its answers to a few identifying GET DATA commands. Every scan opens
// and releases its own context and blocks the calling thread for the length of the calls.

namespace Orv::SmartCard {

// The smart-card calls the probe makes, the system's unless a caller hands in another set.
struct Api
{
    decltype(&SCardEstablishContext) establishContext = &SCardEstablishContext;
    decltype(&SCardListReadersW) listReaders = &SCardListReadersW;
    decltype(&SCardConnectW) connect = &SCardConnectW;
    decltype(&SCardGetAttrib) getAttrib = &SCardGetAttrib;
    decltype(&SCardTransmit) transmit = &SCardTransmit;
    decltype(&SCardDisconnect) disconnect = &SCardDisconnect;
    decltype(&SCardReleaseContext) releaseContext = &SCardReleaseContext;
};

// One command sent to the card and what came back.
struct ProbeAnswer
{
    QString command;     // the command APDU as hexadecimal text
    QString title;       // what it asks for
    QString error;       // the transmission's error text; empty when the card answered
    QByteArray response; // data and the two status bytes
};

// One reader. Whatever the reader does not deliver stays empty.
struct ReaderInfo
{
    QString readerName;
    QString devicePath;
    QString friendlyName;
    QString vendorName;
    QByteArray readerSerial;
    QString connectError; // why no card answered; empty when one did
    QByteArray atr;
    QList<ProbeAnswer> probes;
};

struct ProbeCommand
{
    const char *command; // hexadecimal APDU
    const char *title;   // UTF-8
};

// Read-only commands whose answers identify a token: two serials and an application number.
inline constexpr ProbeCommand kProbeCommands[] = {
    {"00CA018100", "Рутокен ЭЦП: серийный номер (GET DATA 01 81)"},
    {"80CA9F7F00", "GlobalPlatform CPLC: серийный номер микросхемы"},
    {"00CA005A00", "GET DATA 5A: номер приложения"},
};

// Every reader in the order PC/SC lists them. On failure an empty list and `error` (when given)
// says why; no reader at all is such a failure.
QList<ReaderInfo> scanReaders(QString *error, const Api &api = {});

// The reader's device path, names and serial through a connected handle.
void readReaderAttributes(SCARDHANDLE card, ReaderInfo &info, const Api &api = {});
// The ATR and one answer per probe command, in table order.
void probeCard(SCARDHANDLE card, DWORD protocol, ReaderInfo &info, const Api &api = {});

// An attribute's bytes, never more than the buffer asked for; empty when it cannot be read.
QByteArray readAttribute(SCARDHANDLE card, DWORD id, const Api &api = {});
// An 8-bit text attribute without its trailing NULs.
QString attributeString(SCARDHANDLE card, DWORD id, const Api &api = {});
// A UTF-16 text attribute without any NUL.
QString attributeWideString(SCARDHANDLE card, DWORD id, const Api &api = {});

// The Russian text of a PC/SC result code.
QString errorText(LONG code);

// The lines of one reader's report; every line after the reader's name is indented.
QStringList formatTokenReport(const ReaderInfo &info);

// "USB\VID_xxxx&PID_xxxx\<serial>", as usbipd names the device, from a reader's device path;
// empty when the path names no USB device.
QString instanceIdFromDevicePath(const QString &devicePath);

} // namespace Orv::SmartCard
