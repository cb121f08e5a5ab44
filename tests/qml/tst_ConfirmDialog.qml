import QtQuick
import QtTest
import QtQuick.Templates as T
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 700
    height: 600

    ConfirmDialog {
        id: dialog
        title: "Отключить этот компьютер?"
        message: "Агент забудет регистрацию."
        acceptText: "Отключить"
        rejectText: "Оставить"
    }

    SignalSpy { id: acceptSpy; target: dialog; signalName: "acceptClicked" }
    SignalSpy { id: rejectSpy; target: dialog; signalName: "rejectClicked" }

    TestCase {
        name: "ConfirmDialog"
        when: windowShown

        function init() {
            acceptSpy.clear()
            rejectSpy.clear()
            dialog.title = "Отключить этот компьютер?"
            dialog.message = "Агент забудет регистрацию."
            dialog.open()
            tryCompare(dialog, "opened", true)
        }

        function cleanup() {
            dialog.close()
            tryCompare(dialog, "visible", false)
        }

        function test_layout() {
            compare(dialog.modal, true)
            compare(dialog.width, 440)
            compare(dialog.closePolicy, T.Popup.CloseOnEscape)
            compare(dialog.x, (scene.width - dialog.width) / 2)
            compare(dialog.header.text, "Отключить этот компьютер?")
            compare(dialog.header.font.pixelSize, 17)
            compare(dialog.contentItem.text, "Агент забудет регистрацию.")
            compare(Util.buttons(dialog.footer).map(b => [b.text, b.kind]),
                    [["Оставить", "secondary"], ["Отключить", "primary"]])
            const buttons = Util.buttons(dialog.footer)
            verify(buttons[0].x < buttons[1].x)
        }

        // A click only emits; the user of the dialog decides when it closes.
        function test_buttonsOnlyEmit() {
            const buttons = Util.buttons(dialog.footer)
            mouseClick(buttons[1])
            mouseClick(buttons[1])
            compare(acceptSpy.count, 2)
            verify(dialog.opened)
            mouseClick(buttons[0])
            compare(rejectSpy.count, 1)
            verify(dialog.opened)
        }

        function test_escapeClosesSilently() {
            mouseClick(scene, 5, 5)
            verify(dialog.opened, "a click outside leaves it open")
            keyClick(Qt.Key_Escape)
            tryCompare(dialog, "visible", false)
            compare(acceptSpy.count + rejectSpy.count, 0)
        }

        function test_longTexts() {
            const height = dialog.height
            dialog.title = "Очень длинный вопрос, который никак не помещается в одну строку заголовка диалога"
            verify(dialog.header.truncated)
            compare(dialog.header.lineCount, 1)
            dialog.message = "Длинное пояснение. ".repeat(30)
            tryVerify(() => dialog.height > height)
            compare(dialog.width, 440)
        }

        function test_dim() {
            const dim = createTemporaryObject(dialog.T.Overlay.modal, scene)
            verify(Qt.colorEqual(dim.color, "#661C1F24"))
            if (!testEnv.setSystemDark(true))
                skip("this Qt cannot switch the system colour scheme of the test platform")
            verify(Qt.colorEqual(dim.color, "#99000000"))
            testEnv.setSystemDark(false)
        }

        function test_outsideTextIsPlain() {
            dialog.message = "<b>x</b><img src='http://example.invalid/a.png'>"
            compare(dialog.contentItem.textFormat, Text.PlainText)
            compare(dialog.header.textFormat, Text.PlainText)
        }
    }
}
