import QtQuick
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 640
    height: 700

    CertificatesPage {
        id: page
        anchors.fill: parent
    }

    TestCase {
        name: "CertificatesPage"
        when: windowShown

        readonly property string header: "Личное хранилище Windows, подпись через КриптоПро CSP. Вставили носитель — обновите список."
        readonly property string emptyText: "Сертификатов нет. Вставьте носитель с ключом и нажмите «Обновить список»."
        readonly property string noInn: "ИНН в сертификате не найден — Честный знак такую подпись не примет"
        readonly property string innLine: "ИНН 7700000001, действует до 01.02.2030"

        function cert(inn, valid, expiresSoon) {
            return { "title": "Иванов Иван", "inn": inn, "validTo": "01.02.2030", "valid": valid,
                     "expiresSoon": expiresSoon }
        }

        function rows() {
            return Util.findAll(page, it => it.visible && it.first !== undefined)
        }

        function init() {
            testEnv.reset()
        }

        function test_rows_data() {
            return [
                { tag: "none", certs: [], shown: [emptyText] },
                { tag: "valid", certs: [cert("7700000001", true, false)],
                  shown: ["Иванов Иван", innLine] },
                { tag: "expires soon", certs: [cert("7700000001", true, true)],
                  shown: ["Иванов Иван", innLine, "Меньше месяца"], tone: "warn" },
                { tag: "invalid and soon", certs: [cert("7700000001", false, true)],
                  shown: ["Иванов Иван", innLine, "Недействителен"], tone: "off" },
                { tag: "no INN, valid", certs: [cert("", true, false)],
                  shown: ["Иванов Иван", noInn] },
                { tag: "no INN, invalid", certs: [cert("", false, false)],
                  shown: ["Иванов Иван", noInn, "Недействителен"], tone: "off" }
            ]
        }

        // An invalid certificate is greyed out; one without an INN says why it is useless.
        function test_rows(data) {
            agent.certificates = data.certs
            compare(Util.shownTexts(page), [header, "Обновить список"].concat(data.shown))
            compare(Util.findAll(page, it => it.visible && it.tone !== undefined)
                    .map(c => c.tone), data.tone ? [data.tone] : [])
            compare(rows().map(r => r.first), [true])
            if (data.certs.length === 0)
                return
            verify(Qt.colorEqual(Util.shown(page, "Иванов Иван").color,
                                 data.certs[0].valid ? Theme.ink : Theme.ink3))
            verify(Qt.colorEqual(Util.shown(page, data.shown[1]).color,
                                 data.certs[0].inn ? Theme.ink2 : Theme.warn))
        }

        function test_signerMissing_data() {
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

        // The notice takes the first place; the first certificate under it keeps its separator.
        // Its first button opens the vendor's page; it stays until the signer is ready.
        function test_signerMissing(data) {
            agent.signerMissing = data.missing
            agent.signerMissingText = "Нет компонента подписи"
            compare(Util.shownTexts(page).slice(0, 3), [header, "Обновить список",
                                                        "Нет компонента подписи"])
            compare(rows().map(r => r.first), [true])
            agent.certificates = [cert("7700000001", true, false), cert("7700000002", true, false)]
            compare(rows().map(r => r.first), [true, false, false])
            waitForRendering(scene)
            const buttons = Util.buttons(page)
            compare(buttons.map(b => [b.text, b.kind]),
                    [["Обновить список", "secondary"]].concat(data.buttons))
            mouseClick(buttons[1])
            compare(testEnv.openedUrls, [data.url])
            mouseClick(buttons[buttons.length - 1])
            mouseClick(buttons[0])
            compare(agent.calls, [{ "name": "refreshCertificates", "args": [] },
                                  { "name": "refreshCertificates", "args": [] }])
            verify(Util.shown(page, "Нет компонента подписи"))
        }
    }
}
