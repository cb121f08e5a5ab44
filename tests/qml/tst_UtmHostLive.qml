import QtQuick
import QtTest
import OrvAgentApp
import "testutil.js" as Util

// The window over the real agent and host controllers, the host on the stand-ins of WSL, usbipd
// and PowerShell: what a user of host mode walks through, from a PC without VMs to a VM with its
// token and back, with no binding of the page breaking on the way.
Item {
    id: scene
    width: 100
    height: 100

    Component { id: mainComponent; Main {} }
    Component { id: fakeComponent; FakeUtmHost {} }
    SignalSpy { id: changes; signalName: "changed" }

    TestCase {
        id: test
        name: "UtmHostLive"
        when: windowShown

        readonly property int slow: 30000
        property var win: null

        function page() { return Util.findAll(win.contentItem, it => it.res !== undefined)[0] }

        function named(name) { return Util.findAll(page(), it => it.objectName === name)[0] }

        // As a user would: the page scrolls to a control that takes the focus.
        function click(button) {
            verify(button, "no such button")
            tryVerify(() => button.enabled, slow, button.text)
            button.forceActiveFocus()
            waitForRendering(win.contentItem)
            mouseClick(button)
        }

        function rowButton(label) {
            return Util.buttons(named("vmList")).filter(b => b.text === label).pop()
        }

        // The open dialog titled so, as drawn in the window's overlay, beside its content.
        function opened(title) {
            let heading = null
            tryVerify(() => (heading = Util.shown(win.contentItem.parent, title)) !== null, 1000,
                      title)
            return heading.parent
        }

        // Clicks `label` in the dialog titled `title`, as drawn, and waits until it has closed.
        function answer(title, label) {
            const d = opened(title)
            waitForRendering(win.contentItem)
            mouseClick(Util.button(d, label))
            tryCompare(d, "visible", false)
        }

        // The message line after the operation that `action` starts. Until the host has read
        // the last change back it asks to wait, and the user tries again: so does this.
        function outcome(action) {
            for (let attempt = 0; attempt < 100; ++attempt) {
                testEnv.clearAgentMessage()
                action()
                tryVerify(() => !utmHost.busy && agent.lastMessage !== "", slow, "no outcome")
                if (!agent.lastMessage.startsWith("Подождите"))
                    break
                wait(100)
            }
            return agent.lastMessage
        }

        // What the host's timer does every 10 s while the page is in view, at once.
        function refreshed() {
            changes.clear()
            utmHost.refresh()
            changes.wait(slow)
            wait(50) // the rows let go are deleted from the event loop
        }

        function initTestCase() {
            testEnv.reset()
            testEnv.useLiveControllers()
            win = mainComponent.createObject(scene)
            verify(win)
            waitForRendering(win.contentItem)
            mouseClick(Util.findAll(win.contentItem, it => it.current !== undefined
                                    && it.text === "VM УТМ")[0])
            verify(utmHost.watching)
            changes.target = utmHost
        }

        function cleanupTestCase() { win.destroy() }

        // A fake that offers other names than the real controller would test a page that
        // does not exist.
        function test_fakeHasTheRealNames() {
            const fake = createTemporaryObject(fakeComponent, test)
            compare(testEnv.memberNames(fake).filter(n => n !== "calls" && n !== "record"),
                    testEnv.memberNames(utmHost))
        }

        // From WSL without a distribution, as a Russian Windows reports it, through the set-up
        // and the installation to a running host, and on to a VM with its token.
        function test_road() {
            tryCompare(utmHost, "phase", "notinstalled", slow)
            tryVerify(() => Util.shown(page(), "Компьютер не настроен для VM") !== null, slow)
            verify(Util.shown(page(), "Вставлен носитель новой модели — его нужно разрешить для "
                              + "VM. Windows один раз спросит разрешение администратора"))

            click(Util.button(page(), "Настроить компьютер"))
            tryCompare(utmHost, "phase", "running", slow)
            tryCompare(utmHost, "busy", false, slow)
            tryVerify(() => Util.shown(page(), "УТМ 1.9") !== null, slow)

            const block = named("createBlock")
            const field = Util.findAll(block, it => it.placeholderText !== undefined)[0]
            compare(outcome(() => {
                field.text = "Бар на Ленина"
                click(Util.button(block, "Создать VM"))
            }).indexOf("VM 1 создана"), 0)
            tryVerify(() => Util.shown(named("vmList"), "Бар на Ленина") !== null, slow)

            click(rowButton("Выпустить в сеть"))
            outcome(() => answer("VM 1 теперь работает здесь?", "Выпустить в сеть"))
            tryVerify(() => agent.utms.some(u => u.endpoint === "http://127.0.0.1:8081"), slow)
            tryVerify(() => rowButton("Отключить от сети") !== undefined, slow)

            click(rowButton("Журнал"))
            const log = opened("Журнал VM 1")
            const area = Util.findAll(log, it => it.objectName === "logArea")[0]
            tryVerify(() => area.text.indexOf("Started utm-1") >= 0, slow, area.text)
            mouseClick(Util.button(log, "Закрыть"))
            tryCompare(log, "visible", false)

            click(rowButton("Носитель"))
            compare(outcome(() => answer("Носитель VM 1", "Передать")),
                    "Носитель «Rutoken ECP» передан VM 1")
            tryVerify(() => Util.shown(named("tokenList"), "У VM 1") !== null, slow)

            // The choice again after the rows it had were let go, twice.
            refreshed()
            click(rowButton("Носитель"))
            verify(Util.shown(opened("Носитель VM 1"), "У этой VM"))
            compare(outcome(() => answer("Носитель VM 1", "Отключить носитель")),
                    "Носитель отключён от VM 1")
            refreshed()
            click(rowButton("Носитель"))
            verify(Util.button(opened("Носитель VM 1"), "Передать"))
            answer("Носитель VM 1", "Закрыть")
            verify(!Util.shown(named("tokenList"), "У VM 1"))

            click(rowButton("Удалить"))
            outcome(() => answer("Удалить VM 1?", "Удалить"))
            tryVerify(() => utmHost.vms.length === 0, slow)
            verify(!agent.utms.some(u => u.endpoint === "http://127.0.0.1:8081"))
        }
    }
}
