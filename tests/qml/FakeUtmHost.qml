import QtQuick

// Stands in for the `utmHost` controller: every property is writable by the tests, and every
// operation is recorded in `calls` as {name, args}. Like the real one, `loadLogs` empties the
// log text at once; the tests deliver the answer by writing `logText`.
QtObject {
    property string phase: "checking"
    property string problem: ""
    property string wslVersion: ""
    property bool busy: false
    property string busyText: ""
    property string installStep: ""
    property real installProgress: -1
    property string image: ""
    property bool usbipdFound: true
    property bool setupNeeded: false
    property bool rebootPending: false
    property string setupReason: ""
    property bool setupNeedsAdmin: false
    property var vms: []
    property var tokens: []
    property var resources: ({
        "cpuLoad": -1, "cpuName": "", "logicalCpus": 0, "memoryShare": -1, "memoryUsed": "",
        "memoryTotal": "", "memoryFree": "", "distroRunning": false, "wslShare": -1,
        "wslUsed": "", "wslTotal": "", "wslConfigured": false, "vmsMemory": "", "diskFree": "",
        "more": 0, "capacityText": ""
    })
    property int logNumber: 0
    property string logText: ""
    property bool watching: false

    property var calls: []

    function record(name, args) {
        calls = calls.concat([{ "name": name, "args": args }])
    }

    function refresh() { record("refresh", []) }
    function setup() { record("setup", []) }
    function install() { record("install", []) }
    function updateImage() { record("updateImage", []) }
    function removeHost() { record("removeHost", []) }
    function createVm(name) { record("createVm", [name]) }
    function createTestVm(name, inn) { record("createTestVm", [name, inn]) }
    function startVm(number) { record("startVm", [number]) }
    function stopVm(number) { record("stopVm", [number]) }
    function removeVm(number) { record("removeVm", [number]) }
    function renameVm(number, name) { record("renameVm", [number, name]) }
    function setOnline(number, online) { record("setOnline", [number, online]) }
    function assignToken(number, busId) { record("assignToken", [number, busId]) }
    function releaseToken(number) { record("releaseToken", [number]) }
    function openUtm(number) { record("openUtm", [number]) }
    function loadLogs(number) {
        record("loadLogs", [number])
        logNumber = number
        logText = ""
    }
}
