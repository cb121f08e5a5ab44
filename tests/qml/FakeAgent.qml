import QtQuick

// Stands in for the `agent` controller: every property is writable by the tests, and every
// operation is recorded in `calls` as {name, args}. testEnv.reset() makes a fresh one.
QtObject {
    property string statusText: "Не подключён"
    property string state: "idle"
    property bool paired: false
    property string signerName: "КриптоПро CSP"
    property string signerMissing: ""
    property string signerMissingText: ""
    property var certificates: []
    property var enrollCandidates: []
    property var organizations: []
    property var journal: []
    property string lastMessage: ""
    property bool autostart: false
    property var utms: []

    property var calls: []
    property bool addUtmResult: true

    function record(name, args) {
        calls = calls.concat([{ "name": name, "args": args }])
    }

    function addUtm(endpoint) { record("addUtm", [endpoint]); return addUtmResult }
    function removeUtm(endpoint) { record("removeUtm", [endpoint]) }
    function checkUtm() { record("checkUtm", []) }
    function pair(code) { record("pair", [code]) }
    function enroll(inn, thumbprint) { record("enroll", [inn, thumbprint]) }
    function openCabinet(inn) { record("openCabinet", [inn]) }
    function unpair() { record("unpair", []) }
    function refreshCertificates() { record("refreshCertificates", []) }
}
