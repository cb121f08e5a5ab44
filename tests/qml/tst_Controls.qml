import QtQuick
import QtTest
import OrvAgentApp

Item {
    id: scene
    width: 400
    height: 400

    Component {
        id: buttonComponent
        AppButton { x: 20; y: 20; text: "Подключить" }
    }
    Component {
        id: chipComponent
        Chip { text: "Работает" }
    }

    TestCase {
        name: "Controls"
        when: windowShown

        function colour(actual, expected, what) {
            verify(Qt.colorEqual(actual, expected), what + ": " + actual + " != " + expected)
        }

        // Any kind but the three known ones looks like "secondary".
        function test_button_data() {
            return [
                { tag: "primary", kind: "primary", face: Theme.brand, label: "#FFFFFF" },
                { tag: "primary hovered", kind: "primary", act: "hover", face: Theme.brandHover,
                  label: "#FFFFFF" },
                { tag: "primary pressed", kind: "primary", act: "press", face: Theme.brandPressed,
                  label: "#FFFFFF" },
                { tag: "primary disabled", kind: "primary", act: "disable", face: Theme.offBg,
                  label: Theme.ink3 },
                { tag: "secondary hovered", kind: "secondary", act: "hover", face: Theme.hover,
                  label: Theme.ink },
                { tag: "quiet hovered", kind: "quiet", act: "hover", face: "transparent",
                  label: Theme.brandText, underline: true },
                { tag: "quiet disabled", kind: "quiet", act: "disable", face: "transparent",
                  label: Theme.ink3 },
                { tag: "other word", kind: "danger", face: Theme.panel, label: Theme.ink }
            ]
        }

        function test_button(data) {
            const b = createTemporaryObject(buttonComponent, scene, { kind: data.kind })
            if (data.act === "disable")
                b.enabled = false
            if (data.act === "hover" || data.act === "press") {
                mouseMove(b, b.width / 2, b.height / 2)
                tryCompare(b, "hovered", true)
            }
            if (data.act === "press")
                mousePress(b)
            colour(b.background.color, data.face, "face")
            colour(b.contentItem.color, data.label, "label")
            compare(b.contentItem.font.underline, !!data.underline)
            if (data.act === "press")
                mouseRelease(b)
            mouseMove(scene, 1, 1)
        }

        function test_chip_data() {
            return [
                { tag: "ok", tone: "ok", bg: Theme.okBg, fg: Theme.ok },
                { tag: "warn", tone: "warn", bg: Theme.warnBg, fg: Theme.warn },
                { tag: "err", tone: "err", bg: Theme.errBg, fg: Theme.err },
                { tag: "upper case", tone: "OK", bg: Theme.offBg, fg: Theme.ink2 }
            ]
        }

        function test_chip(data) {
            const chip = createTemporaryObject(chipComponent, scene, { tone: data.tone })
            colour(chip.color, data.bg, "background")
            colour(chip.children[0].color, data.fg, "label")
        }
    }
}
