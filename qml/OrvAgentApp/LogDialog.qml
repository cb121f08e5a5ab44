import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Templates as T

// The log of the current run of one VM's УТМ. The text is the host's and is shared by every
// opening; the page sets `number`, asks the host for that VM's log and opens the dialog.
AppDialog {
    id: dialog

    property int number: 0
    // The host empties the text when asked and never answers with an empty one.
    readonly property bool waiting: utmHost.logText === ""

    parent: T.Overlay.overlay
    width: Math.min(parent.width - 48, 900)
    height: parent.height - 48
    padding: 0
    headerTopPadding: 20
    headerBottomPadding: 12
    title: qsTr("Журнал VM %1").arg(number)

    contentItem: ScrollView {
        clip: true
        background: Rectangle {
            color: Theme.bg
        }

        TextArea {
            id: logArea
            objectName: "logArea"
            readOnly: true
            selectByMouse: true
            wrapMode: TextEdit.NoWrap
            textFormat: TextEdit.PlainText
            leftPadding: 24
            rightPadding: 24
            text: dialog.waiting ? qsTr("Читаем журнал…") : utmHost.logText
            color: dialog.waiting ? Theme.ink3 : Theme.ink
            // Consolas comes with Windows; elsewhere the system's monospaced face stands in.
            font.family: Qt.fontFamilies().indexOf("Consolas") >= 0 ? "Consolas" : "monospace"
            font.pixelSize: Theme.small
            selectionColor: Theme.brand
            selectedTextColor: "#FFFFFF"
            background: null
        }
    }

    buttonsAbove: 16
    buttonsBelow: 16
    buttons: [
        AppButton {
            text: qsTr("Скопировать")
            enabled: !dialog.waiting
            onClicked: {
                logArea.selectAll()
                logArea.copy()
                logArea.deselect()
            }
        },
        AppButton {
            text: qsTr("Обновить")
            onClicked: utmHost.loadLogs(dialog.number)
        },
        AppButton {
            kind: "primary"
            text: qsTr("Закрыть")
            onClicked: dialog.close()
        }
    ]
}
