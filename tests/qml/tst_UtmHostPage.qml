import QtQuick
import QtQuick.Layouts
import QtQuick.Templates as T
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 720
    height: 900

    Component { id: hostComponent; FakeUtmHost {} }
    Component { id: pageComponent; UtmHostPage { anchors.fill: parent } }
    Component { id: meterComponent; HostMeter { width: 200; label: "Память"; value: "1 ГБ" } }
    Component { id: mainComponent; Main {} }
    AppTextField { id: pasteField; visible: false }

    TestCase {
        id: test
        name: "UtmHostPage"
        when: windowShown

        readonly property string intro: "VM — отдельный УТМ со своим носителем, обычно своей организации. Создаётся без выхода в сеть: пока ключ работает в другом УТМ, второй с тем же ключом увёл бы входящие документы."
        property var host: null
        property var page: null

        function vm(fields) {
            return Object.assign({ "number": 1, "name": "Бар", "health": "running", "online": false,
                                   "enabled": true, "endpoint": "http://127.0.0.1:8081",
                                   "tokenSerial": "", "tokenName": "", "tokenProblem": "",
                                   "memory": "", "restarts": 0, "fsrarId": "", "test": false,
                                   "inn": "", "organization": "" }, fields)
        }

        function token(fields) {
            return Object.assign({ "busId": "1-2", "description": "Рутокен", "serial": "",
                                   "hardwareId": "0a89:0020", "attached": false, "present": true,
                                   "owner": 0 }, fields)
        }

        // A running host with room for two more VMs.
        function running(fields) {
            Object.assign(host, { "phase": "running", "image": "4.2.0-7" }, fields)
            host.resources = Object.assign({}, host.resources, { "more": 2 })
        }

        function named(name) { return Util.findAll(page, it => it.objectName === name)[0] }
        function calls() { return host.calls.map(c => [c.name, c.args]) }

        function chips(root) {
            return Util.findAll(root, it => it.visible && it.tone !== undefined)
                .map(c => [c.tone, c.text])
        }

        function colour(item, expected) {
            verify(Qt.colorEqual(item.color, expected), item.text + ": " + item.color)
        }

        function click(button) {
            verify(button && button.enabled)
            waitForRendering(page)
            mouseClick(button)
        }

        // The button labelled so in the last VM row.
        function rowButton(label) {
            return Util.buttons(named("vmList")).filter(b => b.text === label).pop()
        }

        // The open dialog titled so, as drawn in the window's overlay layer.
        function opened(title) {
            let heading = null
            tryVerify(() => (heading = Util.shown(T.Overlay.overlay, title)) !== null, 1000, title)
            return heading.parent
        }

        function init() {
            testEnv.reset()
            host = hostComponent.createObject(test)
            testEnv.setContextProperty("utmHost", host)
            page = createTemporaryObject(pageComponent, scene)
        }

        function test_phases_data() {
            const setup = "Компьютер не настроен для VM"
            const button = "Настроить компьютер"
            const step = { phase: "installing", installStep: "Загружаем УТМ" }
            return [
                { tag: "checking", set: {}, texts: ["Проверяем компьютер"] },
                { tag: "no WSL", set: { phase: "nowsl", setupNeeded: true }, texts: [setup, button],
                  call: "setup" },
                { tag: "needs admin", set: { phase: "notinstalled", setupNeeded: true,
                  setupNeedsAdmin: true, setupReason: "Нужен драйвер USB" }, call: "setup",
                  texts: [setup, "Нужен драйвер USB. Windows один раз спросит разрешение администратора",
                          button] },
                { tag: "reboot", set: { phase: "nowsl", setupNeeded: true, rebootPending: true,
                  setupReason: "Включён компонент" },
                  texts: ["Перезагрузите компьютер", "Включён компонент"] },
                { tag: "installing", set: Object.assign({ installProgress: 0.456 }, step),
                  texts: ["Загружаем УТМ", "46 %"], fill: 0.456 },
                { tag: "installing, no measure", set: step, texts: ["Загружаем УТМ"] },
                { tag: "installing from zero", set: Object.assign({ installProgress: 0 }, step),
                  texts: ["Загружаем УТМ", "0 %"], fill: 0 },
                { tag: "progress past the end", set: Object.assign({ installProgress: 1.7 }, step),
                  texts: ["Загружаем УТМ", "170 %"], fill: 1 },
                { tag: "starting", set: { phase: "starting" }, texts: ["VM запускаются"] },
                { tag: "running", set: { phase: "running" }, texts: [] },
                { tag: "running without image", set: { phase: "running", setupNeeded: true,
                  setupReason: "УТМ для VM ещё не загружен" }, call: "setup",
                  texts: [setup, "УТМ для VM ещё не загружен", button] },
                { tag: "error", set: { phase: "error", problem: "Нет WSL" }, call: "refresh",
                  texts: ["VM не отвечают", "Нет WSL", "Проверить снова"] },
                { tag: "error, busy", set: { phase: "error", problem: "Нет WSL", busy: true },
                  texts: ["VM не отвечают", "Нет WSL"] },
                { tag: "no WSL, busy", set: { phase: "nowsl", setupNeeded: true, busy: true },
                  texts: [setup] }
            ]
        }

        function test_phases(data) {
            Object.assign(host, data.set)
            const panel = named("setupPanel")
            compare(panel.visible ? Util.shownTexts(panel) : [], data.texts)
            if (data.set.phase === "error")
                colour(Util.shown(panel, data.set.problem), Theme.err)
            const track = named("progressTrack")
            compare(track.visible, data.fill !== undefined)
            if (data.fill !== undefined) {
                tryVerify(() => track.width > 100)
                fuzzyCompare(named("progressFill").width, track.width * data.fill, 0.5)
            }
            const run = data.set.phase === "running"
            compare([named("serviceRow").visible, !!Util.shown(page, intro)],
                    [run, run && !data.set.setupNeeded])
            Util.buttons(panel).forEach(click)
            compare(host.calls.map(c => c.name), data.call ? [data.call] : [])
        }

        // The count answers first; its reason is a tooltip while more fit, a line when none does.
        function test_machine_data() {
            return [
                { tag: "full", res: { more: 0, cpuLoad: -1, memoryShare: 0.5, memoryUsed: "8 ГБ",
                  memoryTotal: "16 ГБ", wslTotal: "8 ГБ" }, count: "Новую VM не запустить",
                  ink: "err", margin: 6,
                  meters: [["—", -1], ["8 ГБ из 16 ГБ", 0.5], ["до 8 ГБ", -1]] },
                { tag: "room for two", res: { more: 2, cpuLoad: 0.125, distroRunning: true,
                  wslShare: 0.25, wslUsed: "2 ГБ", wslTotal: "8 ГБ" }, count: "Ещё 2 VM",
                  ink: "ink", margin: 16,
                  meters: [["13 %", 0.125], [" из ", -1], ["2 ГБ из 8 ГБ", 0.25]] }
            ]
        }

        function test_machine(data) {
            const why = "Свободно 3 ГБ памяти, на VM нужно 2 ГБ"
            host.resources = Object.assign({}, host.resources, data.res, { capacityText: why })
            compare(Util.findAll(page, it => it.visible && it.share !== undefined)
                    .map(m => [m.value, m.share]), data.meters)
            const count = Util.shown(page, data.count)
            colour(count, Theme[data.ink])
            compare(named("machineStrip").Layout.bottomMargin, data.margin)
            compare(!!Util.shown(page, why), data.res.more === 0)
            const tip = Array.from(count.data).filter(o => o.delay === 300)[0]
            compare([tip.visible, tip.text], [false, why])
            waitForRendering(page)
            mouseMove(count, 5, 5)
            tryCompare(tip, "visible", true)
            mouseMove(scene, 1, 1)
            tryCompare(tip, "visible", false)
        }

        // The bar stops at its end and warns strictly above 0.8 and 0.95.
        function test_meter_data() {
            return [{ tag: "not measured", share: -1 }, { tag: "empty", share: 0, ink: "ink2" },
                    { tag: "at 0.8", share: 0.8, ink: "ink2" },
                    { tag: "0.85", share: 0.85, ink: "warn" },
                    { tag: "at 0.95", share: 0.95, ink: "warn" },
                    { tag: "past the limit", share: 1.3, ink: "err", fill: 1 }]
        }

        function test_meter(data) {
            const meter = createTemporaryObject(meterComponent, scene, { share: data.share })
            const track = Util.findAll(meter, it => it.objectName === "track")[0]
            compare([Util.shownTexts(meter), track.visible], [["Память", "1 ГБ"], data.share >= 0])
            if (data.ink) {
                tryCompare(track, "width", 200)
                fuzzyCompare(track.children[0].width, track.width * (data.fill || data.share), 0.01)
                colour(track.children[0], Theme[data.ink])
            }
        }

        // The organisation is always the one whose INN the УТМ itself reported; outside texts
        // with "%2" in them stay as they are.
        function test_vmRows_data() {
            const buttons = ["Остановить", "Журнал", "Носитель", "Выпустить в сеть", "Удалить"]
            const unknown = "Организация станет известна, когда УТМ ответит"
            return [
                { tag: "new", vm: { health: "notoken" }, org: "ink3",
                  texts: ["Бар", unknown, "VM 1, http://127.0.0.1:8081",
                          "Носитель не передан — без него УТМ не запустится"].concat(buttons),
                  chips: [["warn", "Нет носителя"], ["off", "Без сети"]] },
                { tag: "online with everything", org: "ink",
                  vm: { number: 3, endpoint: "http://127.0.0.1:8083", online: true, enabled: false,
                        inn: "7700000001", organization: "ООО %2", fsrarId: "0300",
                        memory: "512 МБ", restarts: 2, tokenSerial: "%2", tokenName: "Рутокен",
                        tokenProblem: "Вынут" },
                  texts: ["Бар", "ООО %2, ИНН 7700000001",
                          "VM 3, http://127.0.0.1:8083, FSRAR_ID 0300, 512 МБ, перезапусков: 2",
                          "Носитель %2, Рутокен", "Вынут", "Запустить", "Журнал", "Носитель",
                          "Отключить от сети", "Открыть УТМ", "Удалить"],
                  chips: [["ok", "Работает"], ["ok", "В сети"]] },
                { tag: "unknown organisation", org: "ink",
                  vm: { inn: "7700000001", tokenSerial: "123", health: "stopped" },
                  texts: ["Бар", "ИНН 7700000001 — организация не подключена к этому компьютеру",
                          "VM 1, http://127.0.0.1:8081", "Носитель 123"].concat(buttons),
                  chips: [["off", "Остановлена"], ["off", "Без сети"]] },
                { tag: "test", org: "ink3", vm: { test: true, health: "failing", online: true },
                  texts: ["Бар", unknown, "VM 1, http://127.0.0.1:8081",
                          "Тестовый УТМ: мок без носителя и без ЕГАИС", "Остановить", "Журнал",
                          "Отключить от сети", "Удалить"],
                  chips: [["err", "Сбой"], ["ok", "В сети"], ["warn", "Тестовая"]] }
            ]
        }

        function test_vmRows(data) {
            running({ vms: [vm(data.vm)] })
            const list = named("vmList")
            compare(Util.shownTexts(list), data.texts.concat(data.chips.map(c => c[1])))
            compare(chips(list), data.chips)
            colour(Util.shown(list, data.texts[1]), Theme[data.org])
            compare(Util.shown(page, intro), null)
        }

        // Changes wait for the host; the log and the УТМ page stay at hand.
        function test_busy() {
            running({ busy: true, vms: [vm({ online: true })] })
            compare(Util.buttons(named("vmList")).map(b => [b.text, b.enabled]),
                    [["Остановить", false], ["Журнал", true], ["Носитель", false],
                     ["Отключить от сети", false], ["Открыть УТМ", true], ["Удалить", false]])
            compare(Util.shownTexts(named("serviceRow")), ["УТМ 4.2.0-7"])
            verify(!Util.button(named("createBlock"), "Создать VM").enabled)
        }

        // A real VM goes online only after the question; a test VM and going offline at once.
        // The second row is the one clicked, so a dialog that kept the first VM shows up.
        function test_operations_data() {
            const online = "VM 2 теперь работает здесь?"
            return [
                { tag: "stop", vm: {}, button: "Остановить", calls: [["stopVm", [2]]] },
                { tag: "start", vm: { enabled: false }, button: "Запустить",
                  calls: [["startVm", [2]]] },
                { tag: "open", vm: { online: true }, button: "Открыть УТМ",
                  calls: [["openUtm", [2]]] },
                { tag: "offline", vm: { online: true }, button: "Отключить от сети",
                  calls: [["setOnline", [2, false]]] },
                { tag: "test online", vm: { test: true }, button: "Выпустить в сеть",
                  calls: [["setOnline", [2, true]]] },
                { tag: "online confirmed", vm: {}, button: "Выпустить в сеть", dialog: online,
                  answer: "Выпустить в сеть", calls: [["setOnline", [2, true]]] },
                { tag: "online refused", vm: {}, button: "Выпустить в сеть", dialog: online,
                  answer: "Оставить без сети", calls: [] },
                { tag: "remove", vm: {}, button: "Удалить", dialog: "Удалить VM 2?",
                  answer: "Удалить", calls: [["removeVm", [2]]] },
                { tag: "keep", vm: {}, button: "Удалить", dialog: "Удалить VM 2?",
                  answer: "Оставить", calls: [] },
                { tag: "update image", button: "Обновить УТМ", calls: [["updateImage", []]] },
                { tag: "remove all", button: "Удалить все VM", dialog: "Удалить все VM?",
                  answer: "Удалить все", calls: [["removeHost", []]] },
                { tag: "keep all", button: "Удалить все VM", dialog: "Удалить все VM?",
                  answer: "Оставить", calls: [] }
            ]
        }

        function test_operations(data) {
            running({ vms: data.vm ? [vm({}), vm(Object.assign({ number: 2 }, data.vm))] : [] })
            page.target = 1
            click(data.vm ? rowButton(data.button) : Util.button(named("serviceRow"), data.button))
            if (data.dialog) {
                const d = opened(data.dialog)
                compare(host.calls, [])
                mouseClick(Util.button(d, data.answer))
                tryCompare(d, "visible", false)
            }
            compare(calls(), data.calls)
        }

        // The button follows the host's room; Enter creates regardless and the host refuses.
        function test_create_data() {
            return [
                { tag: "first", vms: [], more: 1, kind: "primary", enabled: true,
                  call: ["createVm", ["Бар"]] },
                { tag: "full, by Enter", vms: [vm({})], more: 0, kind: "secondary",
                  enabled: false, enter: true, call: ["createVm", ["Бар"]] },
                { tag: "test, no INN", vms: [], setup: true, more: 1, kind: "secondary",
                  enabled: true, test: true, call: ["createTestVm", ["Бар", ""]],
                  chooser: ["ООО Ромашка", "✓ Без ИНН"] },
                { tag: "test with INN", vms: [], more: 1, kind: "primary", enabled: true,
                  test: true, pick: "ООО Ромашка", call: ["createTestVm", ["Бар", "7700000001"]],
                  chooser: ["✓ ООО Ромашка", "Без ИНН"] }
            ]
        }

        function test_create(data) {
            running({ vms: data.vms, setupNeeded: !!data.setup })
            host.resources = Object.assign({}, host.resources, { more: data.more })
            agent.organizations = [{ "inn": "7700000001", "name": "ООО Ромашка" }]
            const block = named("createBlock")
            const field = Util.findAll(block, it => it.placeholderText !== undefined)[0]
            if (data.test) {
                click(Util.findAll(block, it => it.tristate !== undefined)[0])
                if (data.pick)
                    click(Util.button(block, data.pick))
                compare(Util.buttons(block).slice(1).map(b => b.text), data.chooser)
            }
            compare(field.placeholderText, data.test ? "Название тестовой VM"
                                                     : "Название VM, например «Бар на Ленина»")
            const create = Util.button(block, data.test ? "Создать тестовую VM" : "Создать VM")
            compare([create.kind, create.enabled, Util.buttons(block).length > 1],
                    [data.kind, data.enabled, !!data.test])
            field.text = "Бар"
            field.forceActiveFocus()
            if (data.enter)
                keyClick(Qt.Key_Return)
            else
                click(create)
            compare([calls(), field.text, page.testVm], [[data.call], "", !!data.test])
            host.image = ""
            verify(!block.visible)
        }

        // Ownership comes first; a serial is what a VM pins a token by.
        function test_tokenList() {
            compare(Util.shown(page, "Носители"), null)
            host.tokens = [token({ serial: "111", owner: 3, present: false }),
                           token({ present: false, hardwareId: "" }),
                           token({ serial: "222", attached: true }), token({ serial: "333" })]
            const list = named("tokenList")
            compare(chips(list), [["ok", "У VM 3"], ["off", "Не вставлен"],
                                  ["warn", "Передан в VM"], ["off", "Свободен"]])
            colour(Util.shown(list, "нет серийного номера — VM его не закрепить"), Theme.warn)
            colour(Util.shown(list, "0a89:0020 · серийный 111"), Theme.ink2)
            verify(Util.shown(page, "Носители"))
        }

        // A choice with nothing to offer always says why; one that follows the tokens as they come.
        function test_tokenDialog_data() {
            const mine = token({ busId: "1-3", serial: "2", owner: 2, description: "Мой" })
            const rows = ["Мой", "0a89:0020 · серийный 2", "У этой VM", "Отключить носитель"]
            return [
                { tag: "offers", serial: "2",
                  tokens: [token({ serial: "1" }), mine, token({ serial: "5", owner: 5 })],
                  texts: ["Рутокен", "0a89:0020 · серийный 1", "Передать"].concat(rows),
                  pass: "Передать", call: ["assignToken", [2, "1-2"]] },
                { tag: "release", tokens: [mine], serial: "2", texts: rows,
                  pass: "Отключить носитель", call: ["releaseToken", [2]] },
                { tag: "no driver", usbipd: false, tokens: [token({})],
                  empty: "Компьютер ещё не настроен для передачи носителей — нажмите «Настроить компьютер»." },
                { tag: "none present", tokens: [token({ serial: "1", present: false })],
                  empty: "Носителей не видно. Вставьте Рутокен, JaCarta или ESMART — список обновится сам." },
                { tag: "no serials", tokens: [token({})],
                  empty: "Вставленные носители не сообщают серийный номер, а VM закрепляет носитель по нему. Передать такой носитель VM пока нельзя." },
                { tag: "all taken", tokens: [token({}), token({ serial: "5", owner: 5 })],
                  empty: "Все носители с серийным номером уже у других VM." }
            ]
        }

        function test_tokenDialog(data) {
            const warning = "Если носитель сейчас работает в УТМ на Windows, сначала остановите тот УТМ: вынимать ключ из работающего УТМ технические требования запрещают (стр. 153)."
            running({ usbipdFound: data.usbipd !== false, tokens: data.tokens,
                      vms: [vm({}), vm({ number: 2, tokenSerial: data.serial || "" })] })
            click(rowButton("Носитель"))
            const d = opened("Носитель VM 2")
            compare(Util.shownTexts(d).sort(), ["Носитель VM 2", "Закрыть"]
                    .concat(data.empty ? [data.empty] : [warning].concat(data.texts)).sort())
            if (data.empty)
                host.tokens = data.tokens.concat([token({ serial: "9", description: "Новый" })])
            mouseClick(Util.button(d, data.pass || "Передать"))
            tryCompare(d, "visible", false)
            compare(calls(), [data.call || ["assignToken", [2, "1-2"]]])
        }

        // The dialog follows the VM it was opened for and waits for each answer anew.
        function test_logDialog() {
            running({ vms: [vm({}), vm({ number: 2 })] })
            click(rowButton("Журнал"))
            const d = opened("Журнал VM 2")
            const area = Util.findAll(d, it => it.objectName === "logArea")[0]
            const copy = Util.button(d, "Скопировать")
            compare([calls(), area.text, copy.enabled],
                    [[["loadLogs", [2]]], "Читаем журнал…", false])
            colour(area, Theme.ink3)
            host.logText = "<b>старт</b>\nУТМ запущен"
            compare([area.text, area.textFormat, copy.enabled],
                    [host.logText, TextEdit.PlainText, true])
            colour(area, Theme.ink)
            mouseClick(copy)
            pasteField.paste()
            compare([pasteField.text, area.selectedText], [host.logText, ""])
            mouseClick(Util.button(d, "Обновить"))
            compare([host.calls.length, host.logNumber, area.text], [2, 2, "Читаем журнал…"])
            mouseClick(Util.button(d, "Закрыть"))
            tryCompare(d, "visible", false)
            click(Util.buttons(named("vmList")).filter(b => b.text === "Журнал")[0])
            compare([opened("Журнал VM 1").width, host.calls.map(c => c.args[0])], [672, [2, 2, 1]])
            keyClick(Qt.Key_Escape)
            tryCompare(d, "visible", false)
        }

        // Names, descriptions, reasons and serials come from outside: tags are shown, never obeyed.
        function test_outsideTextIsPlain() {
            const m = "<b>x</b><img src='http://example.invalid/a.png'>"
            running({ setupNeeded: true, setupReason: m,
                      vms: [vm({ name: m, inn: m, organization: m, tokenSerial: m, tokenName: m,
                                 tokenProblem: m })],
                      tokens: [token({ description: m, serial: m, owner: 1 })] })
            agent.organizations = [{ "inn": m, "name": m }]
            page.testVm = true
            click(rowButton("Носитель"))
            const outside = it => it.visible && it.textFormat !== undefined
                                  && it.text.indexOf("<img") >= 0
            const hits = Util.findAll(page, outside)
                .concat(Util.findAll(opened("Носитель VM 1"), outside))
            // Reason, name, organisation, token, problem, token row twice, chooser, dialog row
            // twice.
            compare(hits.map(t => t.textFormat), Array(10).fill(Text.PlainText))
        }

        // The page in light and dark at the window's default and smallest size, top and bottom:
        // saved for a person to look at, and checked that nothing reaches past the right edge.
        function test_screenshots() {
            running({ vms: [vm({ name: "Бар на Ленина", online: true, inn: "7701234567",
                                 organization: "ООО «Ромашка»", fsrarId: "030000123456",
                                 memory: "412 МБ", restarts: 1, tokenSerial: "0A1B2C3D",
                                 tokenName: "Рутокен ЭЦП 3.0" }),
                            vm({ number: 2, name: "Склад", health: "notoken", enabled: false,
                                 tokenProblem: "Носитель 0A1B2C3E не вставлен" })],
                      tokens: [token({ serial: "0A1B2C3D", owner: 1, attached: true }),
                               token({ description: "Считыватель ACS", present: false })] })
            host.resources = Object.assign({}, host.resources, {
                cpuLoad: 0.23, memoryShare: 0.86, memoryUsed: "13,8 ГБ", memoryTotal: "16 ГБ",
                distroRunning: true, wslShare: 0.97, wslUsed: "7,8 ГБ", wslTotal: "8 ГБ", more: 0,
                capacityText: "Памяти хватает ещё на 0 VM: каждой нужно около 1 ГБ" })
            const win = createTemporaryObject(mainComponent, scene)
            verify(waitForRendering(win.contentItem))
            mouseClick(Util.findAll(win.contentItem, it => it.text === "VM УТМ"
                                    && it.current !== undefined)[0])
            const hostPage = Util.findAll(win.contentItem, it => it.res !== undefined)[0]
            verify(hostPage.visible)
            for (const scheme of testEnv.setSystemDark(true) ? ["light", "dark"] : ["light"]) {
                testEnv.setSystemDark(scheme === "dark")
                for (const size of [[720, 640], [560, 480]]) {
                    win.width = size[0]
                    win.height = size[1]
                    tryCompare(win.contentItem, "width", size[0])
                    for (const end of ["top", "bottom"]) {
                        const view = hostPage.contentItem
                        view.contentY = end === "top" ? 0 : view.contentHeight - view.height
                        // Grabbing lays the window out first, so the checks see what is drawn.
                        const image = grabImage(win.contentItem)
                        compare(Util.pastRightEdge(hostPage, hostPage.Window.width), [])
                        // The count moves under the meters rather than leave them no room.
                        compare(Util.findAll(hostPage, it => it.visible && it.share !== undefined)
                                .filter(m => m.width < 100), [])
                        image.save(testEnv.artifactDir + "/utmhost-" + scheme + "-" + size[0]
                                   + "-" + end + ".png")
                    }
                }
            }
            testEnv.setSystemDark(false)
        }
    }
}
