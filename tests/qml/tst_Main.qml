import QtQuick
import QtQuick.Controls.Basic
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 100
    height: 100

    Component {
        id: mainComponent
        Main {}
    }

    TestCase {
        id: test
        name: "Main"
        when: windowShown

        readonly property string closeTitle: "Свернуть агента в трей?"
        readonly property string closeMessage: "Свёрнутый агент продолжит подписывать документы и обновлять вход в Честный знак. Значок — в области уведомлений, под стрелкой «Показать скрытые значки».\n\nПосле выхода подписи остановятся до следующего запуска."
        readonly property string hostSentence: " VM этого компьютера остановятся через несколько секунд после выхода."

        property var win: null

        // The real host controller over the stand-ins, not watched.
        property var host: null

        function init() {
            testEnv.reset()
            host = testEnv.liveHost()
            host.watching = false
        }

        function cleanup() {
            testEnv.setSystemDark(false)
            win = null
        }

        function open() {
            win = createTemporaryObject(mainComponent, scene)
            verify(win)
            if (win.visible)
                verify(waitForRendering(win.contentItem))
        }

        function content() { return win.contentItem }

        function tabs() {
            return Util.findAll(content(), it => it.current !== undefined && it.clicked !== undefined)
        }

        function tab(label) { return tabs().filter(t => t.text === label)[0] }

        function dialog(title) {
            return Array.from(win.contentData).filter(o => o.title === title && o.acceptText)[0]
        }

        function clickInDialog(title, label) {
            const d = dialog(title)
            tryCompare(d, "opened", true)
            mouseClick(Util.button(d.footer, label))
            tryCompare(d, "visible", false)
        }

        function pagesLayout() {
            return Util.findAll(content(), it => it.currentIndex !== undefined
                                && it.count !== undefined)[0]
        }

        function org(status) {
            return { "inn": "7700000001", "name": "ООО Ромашка", "status": status,
                     "signupPending": false, "pending": status === "PENDING" }
        }

        function test_frame_data() {
            return [{ tag: "shown", inTray: false }, { tag: "started in tray", inTray: true }]
        }

        function test_frame(data) {
            testEnv.setContextProperty("startInTray", data.inTray)
            open()
            compare(win.title, "TELLVANE FERROW")
            compare(win.visible, !data.inTray)
            verify(Util.shown(content(), "Версия 0.12.2"))
            verify(Util.shown(content(), "Не подключён"))
        }

        function test_statusDetail_data() {
            return [
                { tag: "idle", state: "idle", orgs: [],
                  text: "Подключите организацию, чтобы агент начал подписывать за неё" },
                { tag: "connecting", state: "connecting", orgs: [],
                  text: "Связываемся с сервером TELLVANE" },
                { tag: "offline", state: "offline", orgs: [org("ACTIVE")],
                  text: "Повторяем подключение. Пока связи нет, документы не подписываются, а вход в Честный знак не обновляется" },
                { tag: "online, one active", state: "online", orgs: [org("ACTIVE"), org("PENDING")],
                  text: "Подписывает документы и обновляет вход в Честный знак для 1 организации" },
                { tag: "online, waiting", state: "online", orgs: [org("PENDING")],
                  text: "Организация ждёт подтверждения владельцем в кабинете — после него агент начнёт работать" },
                { tag: "online, none", state: "online", orgs: [],
                  text: "Организаций пока нет — подключите первую" }
            ]
        }

        function test_statusDetail(data) {
            open()
            agent.state = data.state
            agent.statusText = "Состояние " + data.tag
            agent.organizations = data.orgs
            verify(Util.shown(content(), "Состояние " + data.tag))
            verify(Util.shown(content(), data.text), win.statusDetail())
        }

        function test_genitive() {
            open()
            compare([1, 21, 101, 1001, 11, 111, 12, 2, 5, 0].map(n => win.organizationsGenitive(n)),
                    ["1 организации", "21 организации", "101 организации", "1001 организации",
                     "11 организаций", "111 организаций", "12 организаций", "2 организаций",
                     "5 организаций", "0 организаций"])
        }

        // The banner names the version without its build number.
        function test_updateBanner() {
            open()
            const spy = createTemporaryQmlObject("import QtTest; SignalSpy { signalName: 'updateNowRequested' }", test)
            spy.target = win
            verify(!Util.button(content(), "Обновить сейчас"))
            win.pendingUpdate = "0.10.0-14"
            verify(Util.shown(content(), "Доступна версия 0.10.0. Агент обновится сам, когда окно закроют или свернут, — это занимает несколько секунд"))
            waitForRendering(content())
            mouseClick(Util.button(content(), "Обновить сейчас"))
            compare(spy.count, 1)
        }

        // The host page exists only in host mode; the current tab turns bold without the tabs
        // moving.
        function test_tabs_data() {
            return [{ tag: "plain", host: false }, { tag: "host", host: true }]
        }

        function test_tabs(data) {
            testEnv.setContextProperty("utmHost", data.host ? host : null)
            open()
            compare(tabs().map(t => t.text), ["Организации", "Журнал", "Сертификаты", "УТМ"]
                    .concat(data.host ? ["VM УТМ"] : []))
            compare(pagesLayout().children[4].active, data.host)
            compare(dialog(closeTitle).message, closeMessage + (data.host ? hostSentence : ""))
            compare(tabs().map(t => t.current).indexOf(true), 0)
            const widths = tabs().map(t => t.width)
            mouseClick(tab("Журнал"))
            compare(pagesLayout().currentIndex, 1)
            compare(tabs().map(t => t.current).indexOf(true), 1)
            compare([tab("Журнал").contentItem.font.weight, tab("УТМ").contentItem.font.weight],
                    [Font.DemiBold, Font.Normal])
            compare(tabs().map(t => t.width), widths)
            mouseClick(tab("УТМ"))
            compare(pagesLayout().currentIndex, 3)
        }

        // `watching` is true exactly while the window is shown with the host tab current.
        function test_watching() {
            testEnv.setContextProperty("utmHost", host)
            open()
            compare(host.watching, false)
            mouseClick(tab("VM УТМ"))
            compare([pagesLayout().currentIndex, host.watching], [4, true])
            win.hide()
            tryCompare(host, "watching", false)
            win.show()
            tryCompare(host, "watching", true)
            mouseClick(tab("УТМ"))
            compare(host.watching, false)
        }

        // The lists change while the window waits in the tray, and it comes back larger: every
        // page shows the new rows, none of the rows let go meanwhile.
        function test_listsChangeInTheTray() {
            const org = (inn, name) => ({ "inn": inn, "name": name, "status": "ACTIVE",
                                          "signupPending": false, "pending": false })
            const cert = inn => ({ "title": "Иванов " + inn, "inn": inn, "validTo": "01.02.2030",
                                   "valid": true, "expiresSoon": false })
            const entry = inn => ({ "date": "03.04", "time": "12:34:56", "inn": inn, "ok": true,
                                    "title": "Документ " + inn, "message": "" })
            const utm = endpoint => ({ "endpoint": endpoint, "checked": false, "reachable": false,
                                       "fsrarId": "", "inn": "", "version": "", "error": "",
                                       "rsaExpires": "", "gostExpires": "", "checkedAt": "" })
            const inns = ["7700000001", "7700000002", "7700000003"]
            agent.organizations = inns.map(inn => org(inn, "ООО " + inn))
            agent.certificates = inns.map(cert)
            agent.journal = inns.map(entry)
            agent.utms = inns.map((inn, i) => utm("http://10.0.0." + i + ":8080"))
            open()
            for (const label of ["Журнал", "Сертификаты", "УТМ", "Организации"]) {
                mouseClick(tab(label))
                verify(waitForRendering(content()))
            }
            win.hide()
            agent.organizations = [org("7700000009", "ООО Новая")]
            agent.certificates = [cert("7700000009")]
            agent.journal = [entry("7700000009")]
            agent.utms = [utm("http://10.0.0.9:8080")]
            wait(50) // the rows let go are deleted from the event loop
            win.width += 40
            win.show()
            verify(waitForRendering(content()))
            verify(Util.shown(content(), "ООО Новая"))
            for (const [label, text] of [["Журнал", "Документ 7700000009"],
                                         ["Сертификаты", "Иванов 7700000009"],
                                         ["УТМ", "http://10.0.0.9:8080"]]) {
                mouseClick(tab(label))
                tryVerify(() => Util.shown(content(), text) !== null, 1000, text)
            }
        }

        // A dismissed message stays hidden until the agent says another.
        function test_messageBar() {
            open()
            const bar = () => Util.shown(content(), "Сертификат не найден")
            verify(!bar())
            agent.lastMessage = "Сертификат не найден"
            verify(bar())
            waitForRendering(content())
            const dismiss = Util.button(content(), "✕")
            compare(dismiss.Accessible.name, "Скрыть сообщение")
            mouseClick(dismiss)
            verify(!bar())
            agent.lastMessage = "Сертификат не найден"
            verify(!bar())
            agent.lastMessage = "Организация подключена"
            verify(Util.shown(content(), "Организация подключена"))
        }

        // The box shows what the agent really did, also after the user clicked it.
        function test_autostart() {
            open()
            const box = Util.findAll(content(), it => it.text === "Запускать при входе в Windows"
                                     && it.checked !== undefined)[0]
            compare(box.checked, false)
            mouseClick(box)
            compare([agent.autostart, box.checked], [true, true])
            agent.autostart = false
            compare(box.checked, false)
            agent.autostart = true
            compare(box.checked, true)
        }

        function test_unpair() {
            const title = "Отключить этот компьютер?"
            open()
            verify(!Util.button(content(), "Отключить компьютер"))
            agent.paired = true
            waitForRendering(content())
            mouseClick(Util.button(content(), "Отключить компьютер"))
            compare(dialog(title).message, "Агент забудет регистрацию и перестанет подписывать за все подключённые организации. Вернуть можно подписью или новым кодом из кабинета.")
            compare(Util.buttons(dialog(title).footer).map(b => [b.text, b.kind]),
                    [["Оставить", "secondary"], ["Отключить", "primary"]])
            clickInDialog(title, "Оставить")
            compare(agent.calls, [])
            dialog(title).open()
            clickInDialog(title, "Отключить")
            compare(agent.calls, [{ "name": "unpair", "args": [] }])
        }

        // Without a notification area there is nowhere to hide: closing ends the agent. With
        // one, only a button of the dialog decides; Escape or a click beside it decides nothing.
        function test_close_data() {
            return [
                { tag: "to tray", tray: true, button: "Свернуть", quits: 0, visible: false },
                { tag: "quit", tray: true, button: "Выйти", quits: 1, visible: true },
                { tag: "escape", tray: true, button: "", quits: 0, visible: true },
                { tag: "no tray", tray: false, quits: 0, visible: false }
            ]
        }

        function test_close(data) {
            testEnv.setContextProperty("trayAvailable", data.tray)
            open()
            const d = dialog(closeTitle)
            win.close()
            compare(d.visible, data.tray)
            if (data.tray) {
                verify(win.visible)
                tryCompare(d, "opened", true)
                if (data.button) {
                    mouseClick(Util.button(d.footer, data.button))
                } else {
                    mouseClick(content(), 2, 2)
                    verify(d.opened)
                    keyClick(Qt.Key_Escape)
                    tryCompare(d, "visible", false)
                }
            }
            tryCompare(testEnv, "quitCount", data.quits)
            compare(win.visible, data.visible)
        }

        // Names, subjects, messages and errors come from the server, certificates and УТМ: their
        // tags are drawn as characters, never obeyed, and no image is fetched.
        function test_outsideTextIsPlain() {
            const m = "<b>x</b><img src='http://example.invalid/a.png'>"
            open()
            agent.statusText = m
            agent.lastMessage = m
            agent.signerMissing = "plugin"
            agent.signerMissingText = m
            agent.organizations = [{ "inn": m, "name": m, "status": "ACTIVE",
                                     "signupPending": false }]
            agent.enrollCandidates = [{ "inn": "7700000009", "title": m, "thumbprint": "t",
                                        "validTo": m, "personal": false }]
            agent.journal = [{ "date": "03.04", "time": "12:34:56", "title": m, "inn": m,
                               "ok": false, "message": m }]
            agent.certificates = [{ "title": m, "inn": m, "validTo": "01.02.2030", "valid": true,
                                    "expiresSoon": false }]
            agent.utms = [{ "endpoint": m, "checked": true, "reachable": false, "fsrarId": m,
                            "inn": "", "version": m, "error": m, "rsaExpires": m,
                            "gostExpires": "", "checkedAt": "" }]
            const counts = []
            for (let i = 0; i < 4; ++i) {
                pagesLayout().currentIndex = i
                const hits = Util.findAll(content(), it => it.visible && it.textFormat !== undefined
                                          && it.text.indexOf("<img") >= 0)
                compare(hits.map(t => t.textFormat), hits.map(() => Text.PlainText))
                counts.push(hits.length)
            }
            // Header and message bar on every page, plus each page's own rows.
            compare(counts, [2 + 5, 2 + 3, 2 + 3, 2 + 4])
        }

        // Everything that can crowd the window at once: long names, a message with a path, the
        // signer notice with all its buttons, the update banner.
        function crowd(paired) {
            const name = "Общество с ограниченной ответственностью «Торговый дом Северная звезда и партнёры»"
            agent.lastMessage = "Журнал не открыт: C:\\Users\\buhgalter.ivanova.svetlana\\AppData\\Local\\TellvaneOrvAgent\\journal.db"
            agent.signerMissing = paired ? "plugin" : "cryptopro"
            agent.signerMissingText = "Не установлен КриптоПро CSP: без него подписи не видны. Установите его и нажмите «Проверить снова»."
            agent.enrollCandidates = [{ "inn": "500100732259", "title": name, "thumbprint": "t",
                                        "validTo": "31.12.2030", "personal": true }]
            if (!paired)
                return
            win.pendingUpdate = "0.13.0-2"
            agent.state = "online"
            agent.statusText = "На связи"
            agent.paired = true
            agent.autostart = true
            agent.organizations = [org("PENDING"), { "inn": "500100732259", "status": "ACTIVE",
                                                     "name": name, "signupPending": true }]
            agent.journal = [{ "date": "05.03", "time": "13:58:40", "title": name,
                               "inn": "7701234567", "ok": false, "message": agent.lastMessage }]
            agent.certificates = [{ "title": name, "inn": "", "validTo": "14.03.2026",
                                    "valid": false, "expiresSoon": true }]
            agent.utms = [{ "endpoint": "http://utmserver.sklad.torgovyidom.severnayazvezda.local:8080",
                            "checked": true, "reachable": false, "fsrarId": "030000123456",
                            "inn": "", "version": "4.2.0", "error": agent.lastMessage,
                            "rsaExpires": "01.06.2025", "gostExpires": "14.03.2026",
                            "checkedAt": "14:01:57" }]
        }

        function page(i) { return pagesLayout().children[i] }

        // What lies past the window's right edge, or past its page's, on the current page.
        function overflow() {
            const current = page(pagesLayout().currentIndex)
            return Util.pastRightEdge(content(), win.width).concat(
                Util.pastRightEdge(current.contentChildren[0],
                                   current.mapToItem(null, current.width, 0).x))
        }

        // At the smallest size a long page says that it scrolls, pairing and unpairing start it
        // from its top, the control that takes the focus is scrolled into view, and a text cut
        // short shows in full under the pointer.
        function test_smallWindow() {
            open()
            win.width = 560
            win.height = 480
            crowd(false)
            const flick = page(0).contentItem
            const bar = page(0).ScrollBar.vertical
            waitForRendering(content())
            verify(flick.contentHeight > flick.height && bar.visible)
            const barX = bar.mapToItem(null, 0, 0).x
            verify(barX >= page(0).mapToItem(null, page(0).width, 0).x && barX + bar.width < win.width)
            pagesLayout().currentIndex = 1
            compare(page(1).ScrollBar.vertical.visible, false)
            pagesLayout().currentIndex = 0

            for (const paired of [true, false]) {
                flick.contentY = flick.contentHeight - flick.height
                agent.paired = paired
                compare(flick.contentY, 0)
            }

            const field = Util.findAll(page(0), it => it.placeholderText === "XXXX-XXXX")[0]
            const check = Util.button(page(0), "Проверить снова")
            const inView = item => {
                const y = item.mapToItem(flick, 0, 0).y
                return y >= 0 && y + item.height <= flick.height
            }
            waitForRendering(content())
            verify(!inView(check) && !inView(field))
            check.forceActiveFocus()
            verify(inView(check))
            keyClick(Qt.Key_Tab)
            verify(field.activeFocus && inView(field))
            flick.contentY = 0
            keyClick(Qt.Key_Backtab)
            verify(check.activeFocus && inView(check))

            flick.contentY = 0
            const cut = Util.findAll(content(), it => it.visible && it.truncated)
            compare(cut.map(t => t.text), [agent.enrollCandidates[0].title])
            mouseMove(cut[0], 2, 2)
            const tip = Util.findAll(cut[0], it => it.sourceComponent !== undefined)[0].item
            tryCompare(tip, "visible", true)
            compare([tip.contentItem.text, tip.contentItem.textFormat],
                    [cut[0].text, Text.PlainText])
            verify(Qt.colorEqual(tip.background.color, Theme.panel))
        }

        function test_screenshots_data() {
            return [[560, 480, false], [560, 480, true], [720, 640, false], [720, 640, true]].map(
                r => ({ tag: r[0] + "x" + r[1] + (r[2] ? "-paired" : "-unpaired"), width: r[0],
                        height: r[1], paired: r[2] }))
        }

        // Screenshots for a person to look at: every page in light and dark, at the smallest
        // and at the first size of the window. Nothing in them runs off the window or out of
        // its page; where there is room, the notice's buttons stand in one row and the
        // autostart label on one line, as they did before small windows were looked after.
        function test_screenshots(data) {
            testEnv.setContextProperty("utmHost", host)
            open()
            win.width = data.width
            win.height = data.height
            crowd(data.paired)
            const dir = testEnv.artifactDir + "/main-" + data.tag
            const schemes = testEnv.setSystemDark(true) ? ["light", "dark"] : ["light"]
            for (const scheme of schemes) {
                testEnv.setSystemDark(scheme === "dark")
                for (let i = 0; i < 4; ++i) {
                    pagesLayout().currentIndex = i
                    waitForRendering(content())
                    grabImage(content()).save(dir + "-" + scheme + "-page" + i + ".png")
                    const past = overflow()
                    verify(past.length === 0, scheme + " page " + i + ": " + past.join("; "))
                }
            }
            pagesLayout().currentIndex = 0
            const d = dialog(closeTitle)
            d.open()
            tryCompare(d, "opened", true)
            waitForRendering(content())
            grabImage(content()).save(dir + "-close.png")
            d.close()
            tryCompare(d, "visible", false)
            if (data.width < 720)
                return
            const rows = new Set(["Скачать плагин", "Проверить снова"].map(
                                     label => Util.button(content(), label).mapToItem(null, 0, 0).y))
            compare([rows.size, Util.shown(content(), "Запускать при входе в Windows").lineCount],
                    [1, 1])
        }
    }
}
