import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T

// The window's one modal question. Its buttons name what they do; a click only emits the
// button's signal, and the user of the dialog closes it.
Dialog {
    id: control

    property string message: ""
    property string acceptText: ""
    property string rejectText: ""

    signal acceptClicked()
    signal rejectClicked()

    modal: true
    anchors.centerIn: parent
    // Fixed, not bound to the window, so that the wrapped message cannot feed back into it.
    width: 440
    padding: 24
    topPadding: 12
    bottomPadding: 20
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

    contentItem: AppText {
        text: control.message
        wrapMode: Text.WordWrap
        color: Theme.ink2
        lineHeight: 1.15
    }

    footer: Item {
        implicitHeight: buttons.implicitHeight + 24

        Row {
            id: buttons
            anchors.top: parent.top
            anchors.right: parent.right
            anchors.rightMargin: 24
            spacing: 8

            AppButton {
                text: control.rejectText
                onClicked: control.rejectClicked()
            }
            AppButton {
                kind: "primary"
                text: control.acceptText
                onClicked: control.acceptClicked()
            }
        }
    }
}
