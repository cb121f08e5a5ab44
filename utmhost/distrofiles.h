#pragma once

#include "utmhost/hostrecords.h"

#include <QString>
#include <QStringList>

// Everything the host writes into the WSL distribution: the VM's env file and quadlet units, and
// the bash scripts it runs there as root. Pure functions; none of them can fail.

namespace Orv {

// Delimiter of every here-document in which a script carries a file's content.
extern const QString kHereDocMarker;
// The two comment lines, each ending with a line feed, that open both unit files of a VM.
extern const QString kGeneratedHeader;

// The references of the two images a payload brings begin so, a tag following: the УТМ that
// real VMs run, and the mock УТМ of test VMs. Only images of the first kind are ever pruned.
extern const QString kRuntimeImagePrefix;
extern const QString kMockImagePrefix;
// The last of `images` under `prefix` in plain string order (not by version); empty for none.
QString lastImageUnder(const QStringList &images, const QString &prefix);

// VM numbers run from 1 to this; the port scheme has room for no more.
constexpr int kMaxVmNumber = 99;

// What `writeVmScript` does after writing the VM's files.
enum VmScriptAction : int {
    VmFilesOnly = 0, // nothing is stopped or started (also any unknown value)
    VmApply = 1,     // stop, wait for the token device, start when enabled
    VmStop = 2,      // stop
};

// Classification of a VM's container unit by `vmRunState`.
enum VmRunState : int {
    VmRunning = 0,
    VmStarting = 1,
    VmStopped = 2,
    VmNoToken = 3,
    VmFailing = 4,
};

// Files and units of VM `number` inside the distribution.
QString utmEnvPath(int number);
QString utmPodPath(int number);
QString utmContainerPath(int number);
// "utm-N-utm.service utm-N-pod.service": the container first.
QString utmServiceNames(int number);

// 8080 + number: the УТМ's HTTP port, also on Windows. A number outside 1..kMaxVmNumber has no
// ports: 0 here and below, an empty address.
int utmWebPort(const UtmVm &vm);
// 8190 + 10 × number; the VM uses it and the next two ports.
int utmServicePortBase(const UtmVm &vm);
// "http://127.0.0.1:<web port>": the VM's УТМ address for the agent.
QString utmBaseUrl(const UtmVm &vm);

// The VM's record as the distribution keeps it, and its two quadlet units.
QString utmEnvFile(const UtmVm &vm);
QString utmPodUnit(const UtmVm &vm);
QString utmContainerUnit(const UtmVm &vm);

// Shell text that writes `content` (ending with a line feed) to `path` unexpanded. The file is
// replaced whole or, when the write fails, not at all.
QString heredocWrite(const QString &path, const QString &content);

// Why the record's values must not go into a script or unit (a Russian text), or empty when all
// are safe. The record comes back from the distribution's own files, so nothing in it is trusted.
QString vmRecordProblem(const UtmVm &vm);

// Writes the VM's env file and units and applies `action` (a VmScriptAction); with `checkPorts`
// it first ends with status 10 when one of the VM's ports listens inside WSL; with action VmApply
// it ends with 11 when the token's device does not appear. A record that `vmRecordProblem`
// rejects gives a script that only reports the problem on standard error and ends with 12.
QString writeVmScript(const UtmVm &vm, int action, bool checkPorts);

// Prints the distribution's status report (systemd, memory, images, every VM); always ends with 0.
QString distroStatusScript();
// Prints the last `lines` journal lines of VM `number`'s current run.
QString utmLogsScript(int number, int lines);
// Deletes VM `number` with its units, container, pod and volumes; always ends with 0.
QString removeVmScript(int number);
// Deletes every УТМ runtime image that is neither `keepRef` nor named by a VM.
QString pruneImagesScript(const QString &keepRef);
// Gives `sourceRef` the reference `targetRef` unless that exists; ends with 0 when it exists.
QString tagImageScript(const QString &sourceRef, const QString &targetRef);
// Waits up to 60 s for systemd and prints "pid1\t<name of process 1>" and "systemd\t<state>".
QString waitSystemdScript();

// Whole-text checks of values that end up in scripts and units.
bool isValidImageRef(const QString &text);
// A valid image reference that begins with `prefix` and has a tag after it.
bool isValidImageRefUnder(const QString &text, const QString &prefix);
bool isValidInn(const QString &text);
bool isValidTokenSerial(const QString &text);
bool isValidTestFsrarId(const QString &text);

// A VmRunState from the unit state the status report gave.
int vmRunState(const UtmVm &vm);

} // namespace Orv
