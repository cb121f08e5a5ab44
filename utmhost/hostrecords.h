#pragma once

#include <QList>
#include <QString>
#include <QStringList>

// Plain records that the host's parts pass between them: what the distribution reports about
// its VMs, what WSL and usbipd print, and the user's WSL settings.

namespace Orv {

// One VM. It lives only inside the distribution (its env file and units); this record is read
// back from the status report at every refresh and never kept on the Windows side.
struct UtmVm
{
    int number = 0;          // 1..99
    QString name;            // env "NAME_B64"
    bool online = false;     // env "NETWORK"
    bool enabled = true;     // env "ENABLED"
    QString tokenSerial;     // env "TOKEN_SERIAL"
    QString tokenVid;        // env "TOKEN_VID"
    QString image;           // env "IMAGE"
    QString javaOpts;        // env "JAVA_OPTS"
    bool test = false;       // env "KIND": runs the mock УТМ
    QString testFsrarId;     // env "TEST_FSRAR"
    QString testInn;         // env "TEST_INN"
    QString activeState;     // systemd ActiveState of the container unit
    QString subState;        // systemd SubState
    int execMainStatus = 0;  // exit status of the unit's main process
    int restarts = 0;        // NRestarts
    qint64 memory = 0;       // resident memory, bytes
    bool devicePresent = false; // the token's device exists inside the distribution
    QString tokenProblem;    // copied from the host's token problems by serial after each report
};

// One row of `wsl --list --verbose`.
struct WslDistro
{
    QString name;
    QString state;
    int version = 0;
    bool isDefault = false;
};

// The distribution's status report.
struct DistroStatus
{
    QString systemd;
    qint64 memTotal = 0;     // bytes
    qint64 memAvailable = 0; // bytes
    QStringList images;
    QList<UtmVm> vms;
};

// One USB device known to usbipd.
struct HostToken
{
    QString busId;       // empty while the device is not plugged in
    QString vid;         // four lower-case hex digits
    QString pid;         // four lower-case hex digits
    QString serial;      // empty when the instance id carries no usable serial
    QString instanceId;
    QString description;
    bool bound = false;    // shared by usbipd
    bool attached = false; // attached to a client
    bool isToken = false;  // taken for a crypto token
};

// What the user's .wslconfig sets; 0 means not set.
struct WslConfig
{
    qint64 memoryBytes = 0;
    int processors = 0;
};

} // namespace Orv
