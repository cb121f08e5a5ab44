import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T

// What every dialog of the window shares: modal over the dimmed window, centred on its parent,
// closed only by Escape or its own buttons (a stray click beside it decides nothing), its title
// as the heading and its buttons in a row at the bottom right.
Dialog {
    id: control

    property alias headerTopPadding: heading.topPadding
    property alias headerBottomPadding: heading.bottomPadding
    property alias buttons: buttonRow.data
    property int buttonsAbove: 0
    property int buttonsBelow: 24

    modal: true
    anchors.centerIn: parent
    closePolicy: Popup.CloseOnEscape

    // The overlay's attached properties live in the templates; the Basic style does not
    // re-export them.
    T.Overlay.modal: Rectangle {
        color: Theme.dark ? "#99000000" : "#661C1F24"
    }

    background: Rectangle {
        radius: 10
        color: Theme.panel
        border.width: 1
        border.color: Theme.line
    }

    header: AppText {
        id: heading
        text: control.title
        leftPadding: 24
        rightPadding: 24
        topPadding: 22
        font.family: Theme.display
        font.pixelSize: 17
        font.weight: Font.DemiBold
        maximumLineCount: 1
        elide: Text.ElideRight
    }

    footer: Item {
        implicitHeight: control.buttonsAbove + buttonRow.implicitHeight + control.buttonsBelow

        Row {
            id: buttonRow
            y: control.buttonsAbove
            anchors.right: parent.right
            anchors.rightMargin: 24
            spacing: 8
        }
    }
}
