import QtQuick
import QtQuick.Controls.Basic

// One-line input field in the window's colours.
TextField {
    id: control

    implicitHeight: 32
    leftPadding: 10
    rightPadding: 10
    font.family: Theme.family
    font.pixelSize: Theme.lead
    color: Theme.ink
    placeholderTextColor: Theme.ink3
    selectionColor: Theme.brand
    selectedTextColor: "#FFFFFF"

    background: Rectangle {
        radius: 6
        color: Theme.panel
        border.width: control.activeFocus ? 2 : 1
        border.color: control.activeFocus ? Theme.brandText : Theme.line
    }
}
