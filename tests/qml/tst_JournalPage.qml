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
        readonly property var head: ["12:34:56", "03.04", "Документ Честного знака"]

        function entry(ok, inn, message) {
            return { "date": "03.04", "time": "12:34:56", "title": "Документ Честного знака",
                     "inn": inn, "ok": ok, "message": message }
        }

        function init() {
            testEnv.reset()
        }

        // A refusal shows its reason; a success never shows a message.
        function test_rows_data() {
            return [
                { tag: "empty", journal: [], shown: [emptyText] },
                { tag: "signed, message ignored", journal: [entry(true, "7700000001", "ok")],
                  shown: head.concat(["ИНН 7700000001", "Подписано"]), tone: "ok" },
                { tag: "refused without message", journal: [entry(false, "7700000001", "")],
                  shown: head.concat(["ИНН 7700000001", "Отказ"]), tone: "err" },
                { tag: "refused with message",
                  journal: [entry(false, "7700000001", "Сертификат истёк")],
                  shown: head.concat(["ИНН 7700000001", "Сертификат истёк", "Отказ"]),
                  tone: "err" },
                { tag: "no INN", journal: [entry(true, "", "")],
                  shown: head.concat(["Подписано"]), tone: "ok" }
            ]
        }

        function test_rows(data) {
            agent.journal = data.journal
            compare(Util.shownTexts(page), data.shown)
            compare(Util.findAll(page, it => it.visible && it.tone !== undefined)
                    .map(c => c.tone), data.tone ? [data.tone] : [])
            if (data.shown.indexOf("Сертификат истёк") >= 0)
                verify(Qt.colorEqual(Util.shown(page, "Сертификат истёк").color, Theme.err))
        }

        // A new signature costs one row above the others, and the oldest drops off the end; the
        // rows already shown stay the same items. A list with nothing in common replaces them.
        function test_newRowKeepsTheOthers() {
            const row = i => entry(i % 2 === 0, "770000000" + i, "Отказ " + i)
            const shownRows = () => Util.findAll(page, it => it.visible && it.ok !== undefined)
            agent.journal = [row(2), row(1)]
            const before = shownRows()
            agent.journal = [row(3), row(2)]
            const after = shownRows()
            compare(after.length, 2)
            verify(after[1] === before[0])
            compare(after.map(r => r.first), [true, false])
            compare(Util.shownTexts(after[0]), head.concat(["ИНН 7700000003", "Отказ 3", "Отказ"]))
            agent.journal = [row(5), row(4)]
            compare(Util.shownTexts(page).filter(t => t.startsWith("ИНН")),
                    ["ИНН 7700000005", "ИНН 7700000004"])
        }

        function test_timesAligned() {
            agent.journal = [entry(true, "1", ""), entry(true, "2", "")]
            const rows = Util.findAll(page, it => it.visible && it.first !== undefined)
            compare(rows.map(r => r.first), [true, false])
            const times = Util.findAll(page, it => it.visible && it.text === "12:34:56")
            compare(times[0].x, times[1].x)
        }
    }
}
