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
            agent.reset()
            codeField().clear()
        }

        function test_status_data() {
            return [
                { tag: "ACTIVE", status: "ACTIVE", tone: "ok", text: "Работает" },
                { tag: "PENDING", status: "PENDING", tone: "warn",
                  text: "Ждёт подтверждения владельцем" },
                { tag: "REJECTED", status: "REJECTED", tone: "err", text: "Отклонена владельцем" },
                { tag: "empty", status: "", tone: "off", text: "Отключена" },
                { tag: "other word", status: "DISABLED", tone: "off", text: "Отключена" },
                { tag: "lower case", status: "active", tone: "off", text: "Отключена" }
            ]
        }

        function test_status(data) {
            agent.organizations = [org("7700000001", data.status)]
            verify(Util.shown(page, "ООО 7700000001"))
            verify(Util.shown(page, "ИНН 7700000001"))
            const c = chips()
            compare(c.length, 1)
            compare(c[0].tone, data.tone)
            compare(c[0].text, data.text)
            verify(!Util.button(page, "Открыть кабинет"))
        }

        function test_signupPending() {
            agent.organizations = [org("7700000001", "ACTIVE", true), org("7700000002", "ACTIVE")]
            const c = chips()
            compare(c.map(x => x.text), ["Регистрация не завершена", "Работает"])
            compare(c[0].tone, "warn")
            waitForRendering(scene)
            const open = Util.button(page, "Открыть кабинет")
            compare(open.kind, "primary")
            mouseClick(open)
            compare(agent.calls, [{ "name": "openCabinet", "args": ["7700000001"] }])
        }

        function test_headings() {
            verify(Util.shown(page, "Подключите организацию"))
            verify(!Util.shown(page, "Добавить организацию"))
            compare(chips().length, 0)
            agent.organizations = [org("7700000001", "PENDING")]
            verify(Util.shown(page, "Добавить организацию"))
            verify(!Util.shown(page, "Подключите организацию"))
            verify(Util.shown(page, "Подключить кодом"))
        }

        // A candidate leaves the list once its organisation works or waits for its owner.
        function test_freeCandidates_data() {
            return [
                { tag: "ACTIVE", status: "ACTIVE", offered: false },
                { tag: "PENDING", status: "PENDING", offered: false },
                { tag: "REJECTED", status: "REJECTED", offered: true },
                { tag: "other", status: "DISABLED", offered: true }
            ]
        }

        function test_freeCandidates(data) {
            agent.enrollCandidates = [candidate("7700000001"), candidate("7700000002")]
            agent.organizations = [org("7700000001", data.status)]
            compare(!!Util.shown(page, "Сертификат 7700000001"), data.offered)
            verify(Util.shown(page, "Сертификат 7700000002"))
            compare(page.freeCandidates.length, data.offered ? 2 : 1)
        }

        function test_oneCandidate() {
            agent.enrollCandidates = [candidate("7700000001")]
            verify(Util.shown(page, shortHint))
            verify(Util.shown(page, "ИНН 7700000001, действует до 31.12.2030"))
            verify(!Util.shown(page, allConnected) && !Util.shown(page, noSignatures))
            waitForRendering(scene)
            const connect = Util.button(page, "Подключить")
            compare(connect.kind, "primary")
            mouseClick(connect)
            compare(agent.calls, [{ "name": "enroll", "args": ["7700000001", "ab7700000001"] }])
        }

        function test_severalCandidates() {
            agent.enrollCandidates = [candidate("7700000001"), candidate("770000000002", true)]
            verify(Util.shown(page, longHint))
            waitForRendering(scene)
            const connect = Util.buttons(page).filter(b => b.text === "Подключить")
            compare(connect.map(b => b.kind), ["secondary", "secondary"])
            compare(Util.findAll(page, it => it.visible && it.text
                                 === "Подпись физлица. Если она выдана сотруднику по доверенности, подключитесь кодом.").length, 1)
            mouseClick(connect[1])
            compare(agent.calls, [{ "name": "enroll", "args": ["770000000002", "ab770000000002"] }])
        }

        function test_emptyCandidates_data() {
            return [
                { tag: "no signatures", candidates: [], missing: "", text: noSignatures },
                { tag: "all connected", candidates: [candidate("7700000001")], missing: "",
                  text: allConnected },
                { tag: "signer missing", candidates: [], missing: "cryptopro", text: "" }
            ]
        }

        function test_emptyCandidates(data) {
            agent.organizations = [org("7700000001", "ACTIVE")]
            agent.enrollCandidates = data.candidates
            agent.signerMissing = data.missing
            agent.signerMissingText = data.missing ? "Не установлен КриптоПро CSP." : ""
            compare(!!Util.shown(page, noSignatures), data.text === noSignatures)
            compare(!!Util.shown(page, allConnected), data.text === allConnected)
            compare(!!Util.shown(page, "Не установлен КриптоПро CSP."), data.missing !== "")
            verify(Util.shown(page, "Добавить организацию"))
        }

        // The code goes out exactly as typed, from 8 characters on, by button or by Enter.
        function test_pairCode() {
            const field = codeField()
            const button = Util.button(page, "Подключить кодом")
            compare(field.font.capitalization, Font.AllUppercase)
            compare(field.font.letterSpacing, 1)
            field.forceActiveFocus()
            for (const ch of "ab1-x y")
                keyClick(ch)
            compare(field.text, "ab1-x y")
            compare(button.enabled, false)
            keyClick(Qt.Key_Return)
            compare(agent.calls, [])
            keyClick("z")
            compare(field.text, "ab1-x yz")
            verify(button.enabled)
            keyClick(Qt.Key_Return)
            mouseClick(button)
            compare(agent.calls, [{ "name": "pair", "args": ["ab1-x yz"] },
                                  { "name": "pair", "args": ["ab1-x yz"] }])
            compare(field.text, "ab1-x yz")
        }

        function test_outsideTextIsPlain() {
            const markup = Util.markup
            agent.organizations = [{ "inn": markup, "name": markup, "status": "ACTIVE",
                                     "signupPending": false }]
            agent.enrollCandidates = [{ "inn": "7700000009", "title": markup, "thumbprint": "t",
                                        "validTo": markup, "personal": false }]
            const hits = Util.markupTexts(page)
            compare(hits.length, 4)
            for (const t of hits)
                compare(t.textFormat, Text.PlainText)
        }
    }
}
