import QtQuick

// Small pill-shaped status label; tones "ok", "warn", "err", anything else is neutral.
Rectangle {
    id: chip

    property string tone: "off"
    property alias text: label.text

    implicitWidth: label.implicitWidth + 16
    implicitHeight: 22
    radius: 11
    color: tone === "ok" ? Theme.okBg
         : tone === "warn" ? Theme.warnBg
         : tone === "err" ? Theme.errBg
         : Theme.offBg

    Text {
        id: label
        anchors.centerIn: parent
        textFormat: Text.PlainText
        font.family: Theme.family
        font.pixelSize: Theme.small
        font.weight: Font.DemiBold
        color: chip.tone === "ok" ? Theme.ok
             : chip.tone === "warn" ? Theme.warn
             : chip.tone === "err" ? Theme.err
             : Theme.ink2
    }
}
