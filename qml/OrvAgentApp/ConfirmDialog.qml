import QtQuick

// The window's one modal question. Its buttons name what they do; a click only emits the
// button's signal, and the user of the dialog closes it.
AppDialog {
    id: control

    property string message: ""
    property string acceptText: ""
    property string rejectText: ""

    signal acceptClicked()
    signal rejectClicked()

    // Fixed, not bound to the window, so that the wrapped message cannot feed back into it.
    width: 440
    padding: 24
    topPadding: 12
    bottomPadding: 20

    contentItem: AppText {
        text: control.message
        wrapMode: Text.WordWrap
        color: Theme.ink2
        lineHeight: 1.15
    }

    buttons: [
        AppButton {
            text: control.rejectText
            onClicked: control.rejectClicked()
        },
        AppButton {
            kind: "primary"
            text: control.acceptText
            onClicked: control.acceptClicked()
        }
    ]
}
