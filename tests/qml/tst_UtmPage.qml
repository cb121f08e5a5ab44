import QtQuick
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 640
    height: 700

    UtmPage {
        id: page
        anchors.fill: parent
    }

    TestCase {
        name: "UtmPage"
        when: windowShown

        readonly property string intro: "Нужно только на компьютере, где работает УТМ или откуда он виден в сети. Агент читает из УТМ входящие ТТН и запрашивает остатки; записи в ЕГАИС отсюда нет, пока её не включит поддержка."

        function utm(fields) {
            const row = { "endpoint": "http://192.168.1.10:8080", "checked": false,
                          "reachable": false, "fsrarId": "", "inn": "", "version": "", "error": "",
                          "rsaExpires": "", "gostExpires": "", "checkedAt": "" }
            return Object.assign(row, fields)
        }

        function field() {
            return Util.findAll(page, it => it.placeholderText === "192.168.1.10:8080")[0]
        }

        function init() {
            testEnv.reset()
            field().clear()
        }

        function test_rows_data() {
            return [
                { tag: "none", texts: [], tone: "" },
                { tag: "new", row: {}, texts: ["FSRAR_ID ещё не известен",
                  "http://192.168.1.10:8080", "Проверяется"], tone: "off" },
                { tag: "answers", row: { checked: true, reachable: true, fsrarId: "030000123456",
                  version: "4.2.0", checkedAt: "10:11:12", rsaExpires: "01.01.2026",
                  gostExpires: "02.02.2027" },
                  texts: ["FSRAR_ID 030000123456",
                          "http://192.168.1.10:8080, УТМ 4.2.0, проверен в 10:11:12",
                          "Ключ доступа к ЕГАИС до 01.01.2026, сертификат КЭП до 02.02.2027",
                          "Отвечает"], tone: "ok" },
                { tag: "does not answer", row: { checked: true, checkedAt: "10:11:12",
                  error: "УТМ не отвечает: соединение отклонено" },
                  texts: ["FSRAR_ID ещё не известен", "http://192.168.1.10:8080, проверен в 10:11:12",
                          "УТМ не отвечает: соединение отклонено", "Не отвечает"], tone: "err" },
                { tag: "only RSA", row: { checked: true, reachable: true, rsaExpires: "01.01.2026" },
                  texts: ["FSRAR_ID ещё не известен", "http://192.168.1.10:8080",
                          "Ключ доступа к ЕГАИС до 01.01.2026", "Отвечает"], tone: "ok" },
                { tag: "only GOST", row: { checked: true, reachable: true, gostExpires: "02.02.2027" },
                  texts: ["FSRAR_ID ещё не известен", "http://192.168.1.10:8080",
                          "сертификат КЭП до 02.02.2027", "Отвечает"], tone: "ok" }
            ]
        }

        // The first address is the page's main action; an empty field adds nothing.
        function test_rows(data) {
            agent.utms = data.row ? [utm(data.row)] : []
            const buttons = Util.buttons(page).map(b => [b.text, b.kind, b.enabled])
            compare(Util.shownTexts(page), [intro].concat(data.texts, buttons.map(b => b[0])))
            compare(Util.findAll(page, it => it.visible && it.tone !== undefined).map(c => c.tone),
                    data.tone ? [data.tone] : [])
            compare(buttons, data.row ? [["Убрать", "quiet", true],
                                         ["Добавить УТМ", "secondary", false],
                                         ["Проверить", "secondary", true]]
                                      : [["Добавить УТМ", "primary", false]])
            if (data.row && data.row.error)
                verify(Qt.colorEqual(Util.shown(page, data.row.error).color, Theme.err))
        }

        function test_buttons() {
            agent.utms = [utm({}), utm({ endpoint: "http://10.0.0.2:8080" })]
            waitForRendering(scene)
            mouseClick(Util.button(page, "Проверить все"))
            mouseClick(Util.buttons(page).filter(b => b.text === "Убрать")[1])
            compare(agent.calls, [{ "name": "checkUtm", "args": [] },
                                  { "name": "removeUtm", "args": ["http://10.0.0.2:8080"] }])
        }

        // The address goes out as typed; the field empties only when the controller took it.
        function test_add() {
            const f = field()
            const add = Util.button(page, "Добавить УТМ")
            f.forceActiveFocus()
            for (const ch of "   ")
                keyClick(ch)
            compare(add.enabled, false)
            agent.addUtmResult = false
            keyClick(Qt.Key_Return)
            compare(agent.calls, [{ "name": "addUtm", "args": ["   "] }])
            keyClick("1")
            verify(add.enabled)
            waitForRendering(scene)
            mouseClick(add)
            compare(f.text, "   1")
            agent.addUtmResult = true
            f.forceActiveFocus()
            keyClick(Qt.Key_Enter)
            compare(f.text, "")
            compare(agent.calls.map(c => c.args[0]), ["   ", "   1", "   1"])
        }
    }
}
