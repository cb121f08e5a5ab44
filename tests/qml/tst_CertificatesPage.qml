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

        function cert(inn, valid, expiresSoon) {
            return { "title": "Иванов Иван", "inn": inn, "validTo": "01.02.2030", "valid": valid,
                     "expiresSoon": expiresSoon }
        }

        function rows() {
            return Util.findAll(page, it => it.visible && it.first !== undefined)
        }

        function init() {
            agent.reset()
        }

        function test_empty() {
            compare(Util.shownTexts(page), [header, "Обновить список", emptyText])
            mouseClick(Util.button(page, "Обновить список"))
            compare(agent.calls, [{ "name": "refreshCertificates", "args": [] }])
        }

        function test_rows_data() {
            return [
                { tag: "valid", inn: "7700000001", valid: true, soon: false, chip: "", tone: "",
                  line: "ИНН 7700000001, действует до 01.02.2030" },
                { tag: "expires soon", inn: "7700000001", valid: true, soon: true,
                  chip: "Меньше месяца", tone: "warn",
                  line: "ИНН 7700000001, действует до 01.02.2030" },
                { tag: "invalid and soon", inn: "7700000001", valid: false, soon: true,
                  chip: "Недействителен", tone: "off",
                  line: "ИНН 7700000001, действует до 01.02.2030" },
                { tag: "no INN, valid", inn: "", valid: true, soon: false, chip: "", tone: "",
                  line: noInn },
                { tag: "no INN, invalid", inn: "", valid: false, soon: false,
                  chip: "Недействителен", tone: "off", line: noInn }
            ]
        }

        function test_rows(data) {
            agent.certificates = [cert(data.inn, data.valid, data.soon)]
            const expected = [header, "Обновить список", "Иванов Иван", data.line]
            if (data.chip)
                expected.push(data.chip)
            compare(Util.shownTexts(page), expected)
            const title = Util.shown(page, "Иванов Иван")
            verify(Qt.colorEqual(title.color, data.valid ? Theme.ink : Theme.ink3))
            verify(Qt.colorEqual(Util.shown(page, data.line).color,
                                 data.inn ? Theme.ink2 : Theme.warn))
            if (data.chip)
                compare(Util.findAll(page, it => it.visible && it.tone !== undefined)[0].tone,
                        data.tone)
            compare(rows().map(r => r.first), [true])
        }

        // The notice takes the first place; the first certificate under it keeps its separator.
        function test_signerMissing() {
            agent.signerMissing = "plugin"
            agent.signerMissingText = "Не установлен плагин."
            compare(Util.shownTexts(page).slice(0, 3), [header, "Обновить список",
                                                        "Не установлен плагин."])
            verify(!Util.shown(page, emptyText))
            compare(rows().map(r => r.first), [true])
            agent.certificates = [cert("7700000001", true, false), cert("7700000002", true, false)]
            compare(rows().map(r => r.first), [true, false, false])
        }

        function test_outsideTextIsPlain() {
            const markup = Util.markup
            agent.certificates = [{ "title": markup, "inn": markup, "validTo": "01.02.2030",
                                    "valid": true, "expiresSoon": false }]
            const hits = Util.markupTexts(page)
            compare(hits.length, 2)
            for (const t of hits)
                compare(t.textFormat, Text.PlainText)
        }
    }
}
