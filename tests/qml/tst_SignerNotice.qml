import QtQuick
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 640
    height: 400

    ListPanel {
        id: panel
        width: 600

        SignerNotice {
            id: notice
            first: true
        }
    }

    TestCase {
        name: "SignerNotice"
        when: windowShown

        function init() {
            agent.reset()
            testEnv.reset()
        }

        function test_hiddenWhenReady() {
            compare(notice.visible, false)
            tryCompare(panel, "implicitHeight", 2)
        }

        function test_buttons_data() {
            return [
                { tag: "cryptopro", missing: "cryptopro",
                  buttons: [["Скачать КриптоПро CSP", "primary"], ["Скачать плагин", "secondary"],
                            ["Проверить снова", "secondary"]],
                  url: "https://www.cryptopro.ru/products/csp/downloads" },
                { tag: "plugin", missing: "plugin",
                  buttons: [["Скачать плагин", "primary"], ["Проверить снова", "secondary"]],
                  url: "https://www.cryptopro.ru/products/cades/plugin" }
            ]
        }

        // The first button opens the vendor's page; the notice stays until the signer is ready.
        function test_buttons(data) {
            agent.signerMissing = data.missing
            agent.signerMissingText = "<i>Нет</i> компонента подписи"
            verify(notice.visible)
            const text = Util.shown(notice, "<i>Нет</i> компонента подписи")
            compare(text.textFormat, Text.PlainText)
            verify(Qt.colorEqual(text.color, Theme.warn))
            waitForRendering(scene)
            const buttons = Util.buttons(notice)
            compare(buttons.map(b => [b.text, b.kind]), data.buttons)
            mouseClick(buttons[0])
            compare(testEnv.openedUrls, [data.url])
            verify(notice.visible)
            mouseClick(buttons[buttons.length - 1])
            compare(agent.calls, [{ "name": "refreshCertificates", "args": [] }])
        }
    }
}
