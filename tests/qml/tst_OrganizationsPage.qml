import QtQuick
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 640
    height: 900

    OrganizationsPage {
        id: page
        anchors.fill: parent
    }

    TestCase {
        name: "OrganizationsPage"
        when: windowShown

        readonly property string shortHint: "Выберите электронную подпись организации. КриптоПро попросит носитель с ключом. Если организации ещё нет в TELLVANE PARVIS, мы её зарегистрируем, а вы станете владельцем."
        readonly property string longHint: "Выберите электронную подпись организации. КриптоПро попросит носитель с ключом для каждой организации отдельно: у них разные контейнеры. Если организации ещё нет в TELLVANE PARVIS, мы её зарегистрируем, а вы станете владельцем."
        readonly property string allConnected: "Все организации с подписью на этом компьютере уже подключены. Для другой организации вставьте носитель с её ключом и обновите список на вкладке «Сертификаты»."
        readonly property string noSignatures: "Действующих подписей с ИНН на этом компьютере нет. Вставьте носитель с ключом и обновите список на вкладке «Сертификаты», установите TELLVANE FERROW там, где стоит подпись, или подключитесь кодом."
        readonly property string personal: "Подпись физлица. Если она выдана сотруднику по доверенности, подключитесь кодом."
        readonly property var c1: candidate("7700000001")
        readonly property var c2: candidate("770000000002", true)

        function org(inn, status, signupPending) {
            return { "inn": inn, "name": "ООО " + inn, "status": status,
                     "signupPending": !!signupPending, "pending": status === "PENDING" }
        }

        function candidate(inn, personal) {
            return { "inn": inn, "title": "Сертификат " + inn, "thumbprint": "ab" + inn,
                     "validTo": "31.12.2030", "personal": !!personal }
        }

        function chips() {
            return Util.findAll(page, it => it.visible && it.tone !== undefined)
        }

        function codeField() {
            return Util.findAll(page, it => it.placeholderText === "XXXX-XXXX")[0]
        }

        function init() {
            testEnv.reset()
            codeField().clear()
        }

        function test_status_data() {
            return [
                { tag: "ACTIVE", status: "ACTIVE", tone: "ok", text: "Работает" },
                { tag: "PENDING", status: "PENDING", tone: "warn",
                  text: "Ждёт подтверждения владельцем" },
                { tag: "REJECTED", status: "REJECTED", tone: "err", text: "Отклонена владельцем" },
                { tag: "other word", status: "DISABLED", tone: "off", text: "Отключена" }
            ]
        }

        function test_status(data) {
            verify(Util.shown(page, "Подключите организацию"))
            agent.organizations = [org("7700000001", data.status)]
            verify(Util.shown(page, "ООО 7700000001") && Util.shown(page, "ИНН 7700000001"))
            compare(chips().map(c => [c.tone, c.text]), [[data.tone, data.text]])
            verify(!Util.button(page, "Открыть кабинет"))
            verify(Util.shown(page, "Добавить организацию"))
            verify(!Util.shown(page, "Подключите организацию"))
        }

        function test_signupPending() {
            agent.organizations = [org("7700000001", "ACTIVE", true), org("7700000002", "ACTIVE")]
            compare(chips().map(c => [c.tone, c.text]),
                    [["warn", "Регистрация не завершена"], ["ok", "Работает"]])
            waitForRendering(scene)
            const open = Util.button(page, "Открыть кабинет")
            compare(open.kind, "primary")
            mouseClick(open)
            compare(agent.calls, [{ "name": "openCabinet", "args": ["7700000001"] }])
        }

        // One signature is the page's main action; several are a choice among equals. A
        // candidate leaves the list once its organisation works or waits for its owner.
        function test_candidates_data() {
            const both = ["secondary", "secondary"]
            return [
                { tag: "one", status: "", offered: [c2], kinds: ["primary"] },
                { tag: "several", status: "", offered: [c1, c2], kinds: both },
                { tag: "taken by ACTIVE", status: "ACTIVE", offered: [c2], kinds: ["primary"] },
                { tag: "taken by PENDING", status: "PENDING", offered: [c2], kinds: ["primary"] },
                { tag: "REJECTED again", status: "REJECTED", offered: [c1, c2], kinds: both },
                { tag: "other again", status: "DISABLED", offered: [c1, c2], kinds: both }
            ]
        }

        function test_candidates(data) {
            if (data.status)
                agent.organizations = [org("7700000001", data.status)]
            agent.enrollCandidates = data.status ? [c1, c2] : data.offered
            verify(Util.shown(page, data.offered.length > 1 ? longHint : shortHint))
            verify(!Util.shown(page, allConnected) && !Util.shown(page, noSignatures))
            const offered = data.offered.map(c => c.title)
            compare([c1, c2].map(c => !!Util.shown(page, c.title)),
                    [c1, c2].map(c => offered.indexOf(c.title) >= 0))
            verify(Util.shown(page, "ИНН 770000000002, действует до 31.12.2030"))
            compare(Util.findAll(page, it => it.visible && it.text === personal).length, 1)
            waitForRendering(scene)
            const connect = Util.buttons(page).filter(b => b.text === "Подключить")
            compare(connect.map(b => b.kind), data.kinds)
            mouseClick(connect[connect.length - 1])
            compare(agent.calls, [{ "name": "enroll", "args": ["770000000002", "ab770000000002"] }])
        }

        function test_noCandidates_data() {
            return [
                { tag: "no signatures", candidates: [], missing: "", text: noSignatures },
                { tag: "all connected", candidates: [c1], missing: "", text: allConnected },
                { tag: "signer missing", candidates: [], missing: "cryptopro", text: "Нет CSP." }
            ]
        }

        function test_noCandidates(data) {
            agent.organizations = [org("7700000001", "ACTIVE")]
            agent.enrollCandidates = data.candidates
            agent.signerMissing = data.missing
            agent.signerMissingText = "Нет CSP."
            for (const text of [noSignatures, allConnected, "Нет CSP."])
                compare(!!Util.shown(page, text), text === data.text, text)
        }

        // The code goes out exactly as typed, from 8 characters on, by button or by Enter.
        function test_pairCode() {
            const button = Util.button(page, "Подключить кодом")
            codeField().forceActiveFocus()
            for (const ch of "ab1-x y")
                keyClick(ch)
            compare(button.enabled, false)
            keyClick(Qt.Key_Return)
            compare(agent.calls, [])
            keyClick("z")
            verify(button.enabled)
            keyClick(Qt.Key_Return)
            mouseClick(button)
            compare(agent.calls, [{ "name": "pair", "args": ["ab1-x yz"] },
                                  { "name": "pair", "args": ["ab1-x yz"] }])
        }
    }
}
