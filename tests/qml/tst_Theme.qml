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
            { tag: "ink", light: "#1C1F24", dark: "#ECEDEF" },
            { tag: "ink2", light: "#5C626B", dark: "#A2A8B1" },
            { tag: "brand", light: "#B6002D", dark: "#B6002D" },
            { tag: "brandText", light: "#B6002D", dark: "#FF7A93" },
            { tag: "ok", light: "#1B7C45", dark: "#63CF8E" },
            { tag: "warnBg", light: "#FBF0D9", dark: "#34290F" },
            { tag: "errBg", light: "#FBE3E1", dark: "#3A1D1C" }
        ]
    }

    // Tokens of each kind (surfaces, inks, the fixed brand, its text, states). The platform here
    // reports no scheme (or a light one): every token starts light, and a switch of the system to
    // dark and back re-colours them live. On Qt 6.4 the switch goes
    // through the palette, where comparing the missing scheme hint with Qt.Dark would say "dark".
    function test_tokens(data) {
        for (const dark of [false, true, false]) {
            if (dark && !testEnv.setSystemDark(true))
                skip("this Qt cannot switch the system colour scheme of the test platform")
            testEnv.setSystemDark(dark)
            compare(Theme.dark, dark)
            const expected = dark ? data.dark : data.light
            verify(Qt.colorEqual(Theme[data.tag], expected), Theme[data.tag] + " != " + expected)
        }
    }

    // The tray icons' dot colours, whatever the scheme.
    function test_stateColor() {
        const states = ["online", "connecting", "offline", "idle", "Online"]
        const colours = ["#1FA35B", "#E39B00", "#E39B00", "#9AA0A6", "#9AA0A6"]
        compare(states.map(s => Theme.stateColor(s)), colours)
        testEnv.setSystemDark(true)
        compare(states.map(s => Theme.stateColor(s)), colours)
    }
}
