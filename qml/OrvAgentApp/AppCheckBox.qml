import QtQuick
import QtQuick.Controls.Basic

// Check box in the window's colours: a brand box with a white tick when checked, its border in
// the focus colour while the keyboard is on it.
CheckBox {
    id: control

    property alias textColor: label.color
    property alias wrapMode: label.wrapMode

    font.family: Theme.family
    font.pixelSize: Theme.body

    indicator: Rectangle {
        x: control.leftPadding
        y: (control.height - height) / 2
        implicitWidth: 16
        implicitHeight: 16
        radius: 4
        color: control.checked ? Theme.brand : Theme.panel
        border.width: control.checked ? 0 : 1
        border.color: control.visualFocus ? Theme.brandText : Theme.ink3

        Text {
            anchors.centerIn: parent
            visible: control.checked
            text: "✓"
            textFormat: Text.PlainText
            color: "#FFFFFF"
            font.pixelSize: 12
            font.weight: Font.Bold
        }
    }

    contentItem: AppText {
        id: label
        text: control.text
        leftPadding: control.indicator.width + 8
        verticalAlignment: Text.AlignVCenter
    }
}
