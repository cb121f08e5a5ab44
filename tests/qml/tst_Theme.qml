import QtQuick
import QtTest
import OrvAgentApp

TestCase {
    name: "Theme"

    function cleanup() {
        testEnv.setSystemDark(false)
    }

    function test_tokens_data() {
        return [
            { tag: "bg", light: "#F1F2F4", dark: "#111316" },
            { tag: "panel", light: "#FFFFFF", dark: "#1F2228" },
            { tag: "hover", light: "#F5F6F8", dark: "#262A30" },
            { tag: "line", light: "#E2E4E8", dark: "#2E3239" },
            { tag: "ink", light: "#1C1F24", dark: "#ECEDEF" },
            { tag: "ink2", light: "#5C626B", dark: "#A2A8B1" },
            { tag: "ink3", light: "#8D939B", dark: "#727982" },
            { tag: "brand", light: "#B6002D", dark: "#B6002D" },
            { tag: "brandHover", light: "#9C0027", dark: "#9C0027" },
            { tag: "brandPressed", light: "#830021", dark: "#830021" },
            { tag: "brandText", light: "#B6002D", dark: "#FF7A93" },
            { tag: "ok", light: "#1B7C45", dark: "#63CF8E" },
            { tag: "okBg", light: "#E3F2E8", dark: "#173022" },
            { tag: "warn", light: "#935B00", dark: "#F0B34A" },
            { tag: "warnBg", light: "#FBF0D9", dark: "#34290F" },
            { tag: "err", light: "#A8231B", dark: "#F28B82" },
            { tag: "errBg", light: "#FBE3E1", dark: "#3A1D1C" },
            { tag: "offBg", light: "#ECEDF0", dark: "#262A30" }
        ]
    }

    // The platform here reports no scheme (or a light one): every token starts light, and a
    // switch of the system to dark and back re-colours them live.
    function test_tokens(data) {
        compare(Theme.dark, false)
        verify(Qt.colorEqual(Theme[data.tag], data.light), Theme[data.tag] + " light")
        if (!testEnv.setSystemDark(true))
            skip("this Qt cannot switch the system colour scheme of the test platform")
        compare(Theme.dark, true)
        verify(Qt.colorEqual(Theme[data.tag], data.dark), Theme[data.tag] + " dark")
        testEnv.setSystemDark(false)
        compare(Theme.dark, false)
        verify(Qt.colorEqual(Theme[data.tag], data.light), Theme[data.tag] + " light again")
    }

    function test_stateColor_data() {
        return [
            { tag: "online", state: "online", colour: "#1FA35B" },
            { tag: "connecting", state: "connecting", colour: "#E39B00" },
            { tag: "offline", state: "offline", colour: "#E39B00" },
            { tag: "idle", state: "idle", colour: "#9AA0A6" },
            { tag: "empty", state: "", colour: "#9AA0A6" },
            { tag: "capital", state: "Online", colour: "#9AA0A6" },
            { tag: "no argument", state: undefined, colour: "#9AA0A6" }
        ]
    }

    function test_stateColor(data) {
        compare(Theme.stateColor(data.state), data.colour)
        testEnv.setSystemDark(true)
        compare(Theme.stateColor(data.state), data.colour)
    }

    function test_fonts() {
        const variable = Qt.fontFamilies().indexOf("Segoe UI Variable Text") >= 0
        compare(Theme.variable, variable)
        compare(Theme.family, variable ? "Segoe UI Variable Text" : "Segoe UI")
        compare(Theme.display, variable ? "Segoe UI Variable Display" : "Segoe UI")
        compare([Theme.small, Theme.body, Theme.lead, Theme.heading, Theme.title],
                [12, 13, 14, 15, 22])
    }
}
