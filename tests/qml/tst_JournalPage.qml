import QtQuick
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 640
    height: 700

    JournalPage {
        id: page
        anchors.fill: parent
    }

    TestCase {
        name: "JournalPage"
        when: windowShown

        readonly property string emptyText: "Подписей пока не было. Здесь появится каждая: вход в Честный знак, документы и приёмка УПД — с результатом и причиной отказа."

        function entry(ok, inn, message) {
            return { "date": "03.04", "time": "12:34:56", "title": "Документ Честного знака",
                     "inn": inn, "ok": ok, "message": message }
        }

        function init() {
            agent.reset()
        }

        function test_empty() {
            verify(Util.shown(page, emptyText))
            agent.journal = [entry(true, "7700000001", "")]
            verify(!Util.shown(page, emptyText))
        }

        function test_rows_data() {
            return [
                { tag: "signed, message ignored", ok: true, inn: "7700000001", message: "ok",
                  shown: ["12:34:56", "03.04", "Документ Честного знака", "ИНН 7700000001",
                          "Подписано"], tone: "ok" },
                { tag: "refused without message", ok: false, inn: "7700000001", message: "",
                  shown: ["12:34:56", "03.04", "Документ Честного знака", "ИНН 7700000001",
                          "Отказ"], tone: "err" },
                { tag: "refused with message", ok: false, inn: "7700000001",
                  message: "Сертификат истёк",
                  shown: ["12:34:56", "03.04", "Документ Честного знака", "ИНН 7700000001",
                          "Сертификат истёк", "Отказ"], tone: "err" },
                { tag: "no INN", ok: true, inn: "", message: "",
                  shown: ["12:34:56", "03.04", "Документ Честного знака", "Подписано"], tone: "ok" }
            ]
        }

        function test_rows(data) {
            agent.journal = [entry(data.ok, data.inn, data.message)]
            const texts = Util.shownTexts(page)
            compare(texts, data.shown)
            const chip = Util.findAll(page, it => it.visible && it.tone !== undefined)[0]
            compare(chip.tone, data.tone)
            if (data.message && !data.ok)
                verify(Qt.colorEqual(Util.shown(page, data.message).color, Theme.err))
        }

        function test_timesAligned() {
            agent.journal = [entry(true, "1", ""), entry(true, "2", "")]
            const rows = Util.findAll(page, it => it.visible && it.first !== undefined)
            compare(rows.length, 2)
            compare(rows[0].first, true)
            compare(rows[1].first, false)
            const times = Util.findAll(page, it => it.visible && it.text === "12:34:56")
            compare(times[0].x, times[1].x)
        }

        function test_outsideTextIsPlain() {
            const markup = Util.markup
            agent.journal = [{ "date": "03.04", "time": "12:34:56", "title": markup, "inn": markup,
                               "ok": false, "message": markup }]
            const hits = Util.markupTexts(page)
            compare(hits.length, 3)
            for (const t of hits)
                compare(t.textFormat, Text.PlainText)
        }
    }
}
