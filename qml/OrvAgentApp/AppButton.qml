import QtQuick
import QtQuick.Controls.Basic

// Push button in three kinds: "primary" (brand face), "secondary" (outlined) and "quiet"
// (link-like text); any other kind looks like "secondary".
Button {
    id: control

    property string kind: "secondary"
    readonly property bool quiet: kind === "quiet"
    readonly property bool primary: kind === "primary"

    implicitHeight: quiet ? 24 : 32
    leftPadding: quiet ? 2 : 14
    rightPadding: quiet ? 2 : 14
    topPadding: 0
    bottomPadding: 0
    font.family: Theme.family
    font.pixelSize: Theme.body
    font.weight: quiet ? Font.Normal : Font.DemiBold

    HoverHandler {
        cursorShape: control.enabled ? Qt.PointingHandCursor : Qt.ArrowCursor
    }

    contentItem: Text {
        text: control.text
        textFormat: Text.PlainText
        font.family: control.font.family
        font.pixelSize: control.font.pixelSize
        font.weight: control.font.weight
        font.underline: control.quiet && control.hovered
        elide: Text.ElideRight
        horizontalAlignment: Text.AlignHCenter
        verticalAlignment: Text.AlignVCenter
        color: !control.enabled ? Theme.ink3
             : control.primary ? "#FFFFFF"
             : control.quiet ? Theme.brandText
             : Theme.ink
    }

    background: Rectangle {
        radius: 6
        color: control.quiet ? "transparent"
             : control.primary ? (!control.enabled ? Theme.offBg
                                  : control.down ? Theme.brandPressed
                                  : control.hovered ? Theme.brandHover
                                  : Theme.brand)
             : (control.down || control.hovered ? Theme.hover : Theme.panel)
        border.width: control.quiet || control.primary ? 0 : 1
        border.color: Theme.line

        Rectangle {
            objectName: "focusRing"
            anchors.fill: parent
            anchors.margins: -3
            radius: 8
            color: "transparent"
            border.width: 2
            border.color: Theme.brandText
            visible: control.visualFocus
        }
    }
}
