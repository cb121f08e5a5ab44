import QtQuick
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

    QtObject {
        id: host
        property bool watching: false
    }

    TestCase {
        id: test
        name: "Main"
        when: windowShown

        readonly property string closeMessage: "Свёрнутый агент продолжит подписывать документы и обновлять вход в Честный знак. Значок — в области уведомлений, под стрелкой «Показать скрытые значки».\n\nПосле выхода подписи остановятся до следующего запуска."
        readonly property string hostSentence: " VM этого компьютера остановятся через несколько секунд после выхода."

        property var win: null

        function init() {
            agent.reset()
            testEnv.reset()
            testEnv.setContextProperty("utmHost", null)
            testEnv.setContextProperty("trayAvailable", true)
            testEnv.setContextProperty("startInTray", false)
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
            return win
        }

        function content() { return win.contentItem }

        function tabs() {
            return Util.findAll(content(), it => it.current !== undefined && it.clicked !== undefined)
        }

        function tab(label) { return tabs().filter(t => t.text === label)[0] }

        function dialogs() {
            return Util.list(win.contentData).filter(o => o.acceptText !== undefined)
        }

        function dialog(title) { return dialogs().filter(d => d.title === title)[0] }

        function dialogButton(d, label) { return Util.button(d.footer, label) }

        function pagesLayout() {
            return Util.findAll(content(), it => it.currentIndex !== undefined
                                && it.count !== undefined)[0]
        }

        function org(status) {
            return { "inn": "7700000001", "name": "ООО Ромашка", "status": status,
                     "signupPending": false, "pending": status === "PENDING" }
        }

        function test_frame() {
            open()
            compare(win.title, "TELLVANE FERROW")
            compare([win.width, win.height, win.minimumWidth, win.minimumHeight],
                    [720, 640, 560, 480])
            verify(win.visible)
            verify(Util.shown(content(), "Версия 0.12.2"))
            verify(Util.shown(content(), "Не подключён"))
        }

        function test_startInTray() {
            testEnv.setContextProperty("startInTray", true)
            open()
            compare(win.visible, false)
        }

        function test_statusDetail_data() {
            const many = []
            for (let i = 0; i < 21; ++i)
                many.push(org("ACTIVE"))
            return [
                { tag: "idle", state: "idle", orgs: [],
                  text: "Подключите организацию, чтобы агент начал подписывать за неё" },
                { tag: "connecting", state: "connecting", orgs: [],
                  text: "Связываемся с сервером TELLVANE" },
                { tag: "offline", state: "offline", orgs: [org("ACTIVE")],
                  text: "Повторяем подключение. Пока связи нет, документы не подписываются, а вход в Честный знак не обновляется" },
                { tag: "online, one active", state: "online", orgs: [org("ACTIVE"), org("PENDING")],
                  text: "Подписывает документы и обновляет вход в Честный знак для 1 организации" },
                { tag: "online, 21 active", state: "online", orgs: many,
                  text: "Подписывает документы и обновляет вход в Честный знак для 21 организации" },
                { tag: "online, waiting", state: "online", orgs: [org("PENDING")],
                  text: "Организация ждёт подтверждения владельцем в кабинете — после него агент начнёт работать" },
                { tag: "online, none", state: "online", orgs: [],
                  text: "Организаций пока нет — подключите первую" },
                { tag: "unknown state", state: "", orgs: [],
                  text: "Подключите организацию, чтобы агент начал подписывать за неё" }
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

        function test_genitive_data() {
            return [1, 21, 101, 11, 111, 2, 5, 0, 1001, 12].map(n => ({
                tag: String(n), n: n,
                word: n % 10 === 1 && n % 100 !== 11 ? "организации" : "организаций" }))
        }

        function test_genitive(data) {
            open()
            compare(win.organizationsGenitive(data.n), data.n + " " + data.word)
        }

        function test_updateBanner_data() {
            return [
                { tag: "build suffix", pending: "0.10.0-14", version: "0.10.0" },
                { tag: "plain", pending: "0.11.0", version: "0.11.0" }
            ]
        }

        function test_updateBanner(data) {
            open()
            const spy = createTemporaryQmlObject("import QtTest; SignalSpy { signalName: 'updateNowRequested' }", test)
            spy.target = win
            verify(!Util.button(content(), "Обновить сейчас"))
            win.pendingUpdate = data.pending
            verify(Util.shown(content(), "Доступна версия " + data.version + ". Агент обновится сам, когда окно закроют или свернут, — это занимает несколько секунд"))
            waitForRendering(content())
            mouseClick(Util.button(content(), "Обновить сейчас"))
            compare(spy.count, 1)
        }

        function test_tabs() {
            open()
            compare(tabs().map(t => t.text), ["Организации", "Журнал", "Сертификаты", "УТМ"])
            compare(tabs().map(t => t.current), [true, false, false, false])
            const widths = tabs().map(t => t.width)
            mouseClick(tab("Журнал"))
            compare(pagesLayout().currentIndex, 1)
            compare(tabs().map(t => t.current), [false, true, false, false])
            compare(tab("Журнал").contentItem.font.weight, Font.DemiBold)
            compare(tab("Организации").contentItem.font.weight, Font.Normal)
            compare(tabs().map(t => t.width), widths)
            verify(Util.shown(content(), "Подписей пока не было. Здесь появится каждая: вход в Честный знак, документы и приёмка УПД — с результатом и причиной отказа."))
            verify(!Util.shown(content(), "Подключите организацию"))
            mouseClick(tab("УТМ"))
            compare(pagesLayout().currentIndex, 3)
            verify(Util.button(content(), "Добавить УТМ"))
            compare(pagesLayout().count, 5)
            compare(pagesLayout().children[4].active, false)
        }

        // The host page exists only in host mode, and `watching` is true exactly while the
        // window is shown with the host tab current.
        function test_hostTab() {
            testEnv.setContextProperty("utmHost", host)
            open()
            compare(tabs().map(t => t.text),
                    ["Организации", "Журнал", "Сертификаты", "УТМ", "VM УТМ"])
            compare(pagesLayout().children[4].active, true)
            compare(host.watching, false)
            mouseClick(tab("VM УТМ"))
            compare(pagesLayout().currentIndex, 4)
            compare(host.watching, true)
            win.hide()
            tryCompare(host, "watching", false)
            win.show()
            tryCompare(host, "watching", true)
            mouseClick(tab("УТМ"))
            compare(host.watching, false)
            compare(dialog("Свернуть агента в трей?").message, closeMessage + hostSentence)
        }

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
            verify(!bar(), "the same text stays dismissed")
            agent.lastMessage = "Организация подключена"
            verify(Util.shown(content(), "Организация подключена"))
        }

        function test_autostart() {
            open()
            const box = Util.findAll(content(), it => it.text === "Запускать при входе в Windows"
                                     && it.checked !== undefined)[0]
            compare(box.checked, false)
            mouseClick(box)
            compare(agent.autostart, true)
            compare(box.checked, true)
            verify(Qt.colorEqual(box.indicator.color, Theme.brand))
            agent.autostart = false
            compare(box.checked, false)
            agent.autostart = true
            compare(box.checked, true)
        }

        function test_unpair() {
            open()
            verify(!Util.button(content(), "Отключить компьютер"))
            agent.paired = true
            waitForRendering(content())
            mouseClick(Util.button(content(), "Отключить компьютер"))
            const d = dialog("Отключить этот компьютер?")
            tryCompare(d, "opened", true)
            compare(d.message, "Агент забудет регистрацию и перестанет подписывать за все подключённые организации. Вернуть можно подписью или новым кодом из кабинета.")
            mouseClick(dialogButton(d, "Оставить"))
            tryCompare(d, "visible", false)
            compare(agent.calls, [])
            d.open()
            tryCompare(d, "opened", true)
            mouseClick(dialogButton(d, "Отключить"))
            tryCompare(d, "visible", false)
            compare(agent.calls, [{ "name": "unpair", "args": [] }])
        }

        function test_closeToTray() {
            open()
            const d = dialog("Свернуть агента в трей?")
            compare(d.message, closeMessage)
            win.close()
            tryCompare(d, "opened", true)
            verify(win.visible)
            mouseClick(dialogButton(d, "Свернуть"))
            tryCompare(d, "visible", false)
            compare(win.visible, false)
            compare(testEnv.quitCount, 0)
        }

        function test_closeAndQuit() {
            open()
            const d = dialog("Свернуть агента в трей?")
            win.close()
            tryCompare(d, "opened", true)
            mouseClick(dialogButton(d, "Выйти"))
            tryCompare(testEnv, "quitCount", 1)
        }

        function test_closeWithoutTray() {
            testEnv.setContextProperty("trayAvailable", false)
            open()
            win.close()
            compare(win.visible, false)
            compare(dialogs().filter(d => d.visible).length, 0)
        }

        function test_outsideTextIsPlain() {
            open()
            agent.lastMessage = Util.markup
            agent.organizations = [{ "inn": "7700000001", "name": Util.markup, "status": "ACTIVE",
                                     "signupPending": false }]
            const hits = Util.markupTexts(content())
            compare(hits.length, 2)
            for (const t of hits)
                compare(t.textFormat, Text.PlainText)
        }

        function fillSample() {
            agent.state = "online"
            agent.statusText = "На связи"
            agent.paired = true
            agent.autostart = true
            agent.lastMessage = "Организация «ООО Ромашка» подключена"
            agent.organizations = [
                { "inn": "7701234567", "name": "ООО «Ромашка»", "status": "ACTIVE",
                  "signupPending": false },
                { "inn": "7707654321", "name": "ООО «Василёк и партнёры»", "status": "PENDING",
                  "signupPending": false },
                { "inn": "500100732259", "name": "ИП Иванов Иван Иванович", "status": "ACTIVE",
                  "signupPending": true }
            ]
            agent.enrollCandidates = [
                { "inn": "7712345678", "title": "ООО «Лютик», Петров П. П.", "thumbprint": "aa",
                  "validTo": "14.03.2026", "personal": false },
                { "inn": "771234567890", "title": "Сидоров Сидор Сидорович", "thumbprint": "bb",
                  "validTo": "01.09.2025", "personal": true }
            ]
            agent.journal = [
                { "date": "05.03", "time": "14:02:11", "title": "Документ Честного знака",
                  "inn": "7701234567", "ok": true, "message": "" },
                { "date": "05.03", "time": "13:58:40", "title": "Приёмка УПД",
                  "inn": "7701234567", "ok": false,
                  "message": "ИНН покупателя в УПД не совпадает с ИНН сертификата" },
                { "date": "04.03", "time": "09:00:03", "title": "Вход в Честный знак",
                  "inn": "", "ok": true, "message": "" }
            ]
            agent.certificates = [
                { "title": "ООО «Ромашка», Иванов И. И.", "inn": "7701234567",
                  "validTo": "14.03.2026", "valid": true, "expiresSoon": false },
                { "title": "ООО «Василёк и партнёры»", "inn": "7707654321",
                  "validTo": "20.03.2025", "valid": true, "expiresSoon": true },
                { "title": "Тестовый УЦ", "inn": "", "validTo": "01.01.2024", "valid": false,
                  "expiresSoon": false }
            ]
            agent.utms = [
                { "endpoint": "http://192.168.1.10:8080", "checked": true, "reachable": true,
                  "fsrarId": "030000123456", "inn": "7701234567", "version": "4.2.0",
                  "error": "", "rsaExpires": "01.06.2025", "gostExpires": "14.03.2026",
                  "checkedAt": "14:01:57" },
                { "endpoint": "http://192.168.1.11:8080", "checked": true, "reachable": false,
                  "fsrarId": "", "inn": "", "version": "", "error": "УТМ не отвечает: время ожидания истекло",
                  "rsaExpires": "", "gostExpires": "", "checkedAt": "14:01:59" }
            ]
            win.pendingUpdate = "0.13.0-2"
        }

        // Screenshots for a person to look at: every page in light and dark.
        function test_screenshots() {
            testEnv.setContextProperty("utmHost", host)
            open()
            fillSample()
            const dir = testEnv.artifactDir
            const schemes = testEnv.setSystemDark(true) ? ["light", "dark"] : ["light"]
            for (const scheme of schemes) {
                testEnv.setSystemDark(scheme === "dark")
                for (let i = 0; i < 4; ++i) {
                    pagesLayout().currentIndex = i
                    waitForRendering(content())
                    const image = grabImage(content())
                    image.save(dir + "/main-" + scheme + "-page" + i + ".png")
                }
                pagesLayout().currentIndex = 0
                dialog("Свернуть агента в трей?").open()
                tryCompare(dialog("Свернуть агента в трей?"), "opened", true)
                waitForRendering(content())
                grabImage(content()).save(dir + "/main-" + scheme + "-close.png")
                dialog("Свернуть агента в трей?").close()
                tryCompare(dialog("Свернуть агента в трей?"), "visible", false)
            }
        }
    }
}
