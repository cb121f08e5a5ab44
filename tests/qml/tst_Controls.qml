import QtQuick
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 400
    height: 300

    Component {
        id: buttonComponent
        AppButton { text: "Подключить" }
    }
    Component {
        id: textComponent
        AppText {}
    }
    Component {
        id: fieldComponent
        AppTextField { width: 200; placeholderText: "XXXX-XXXX" }
    }

    TestCase {
        name: "Controls"
        when: windowShown

        function colour(actual, expected, what) {
            verify(Qt.colorEqual(actual, expected), what + ": " + actual + " != " + expected)
        }

        function ring(button) {
            return button.background.children[0]
        }

        function test_buttonKinds_data() {
            return [
                { tag: "primary", kind: "primary", height: 32, pad: 14, weight: Font.DemiBold,
                  face: Theme.brand, label: "#FFFFFF", border: 0 },
                { tag: "secondary", kind: "secondary", height: 32, pad: 14, weight: Font.DemiBold,
                  face: Theme.panel, label: Theme.ink, border: 1 },
                { tag: "quiet", kind: "quiet", height: 24, pad: 2, weight: Font.Normal,
                  face: "transparent", label: Theme.brandText, border: 0 },
                { tag: "empty kind", kind: "", height: 32, pad: 14, weight: Font.DemiBold,
                  face: Theme.panel, label: Theme.ink, border: 1 },
                { tag: "capitalised", kind: "Primary", height: 32, pad: 14, weight: Font.DemiBold,
                  face: Theme.panel, label: Theme.ink, border: 1 },
                { tag: "other word", kind: "danger", height: 32, pad: 14, weight: Font.DemiBold,
                  face: Theme.panel, label: Theme.ink, border: 1 }
            ]
        }

        function test_buttonKinds(data) {
            const b = createTemporaryObject(buttonComponent, scene, { kind: data.kind })
            compare(b.implicitHeight, data.height)
            compare(b.leftPadding, data.pad)
            compare(b.rightPadding, data.pad)
            compare(b.topPadding, 0)
            compare(b.bottomPadding, 0)
            compare(b.font.pixelSize, Theme.body)
            compare(b.contentItem.font.weight, data.weight)
            compare(b.implicitWidth, b.contentItem.implicitWidth + 2 * data.pad)
            colour(b.background.color, data.face, "face")
            colour(b.contentItem.color, data.label, "label")
            compare(b.background.border.width, data.border)
            colour(b.background.border.color, Theme.line, "border")
            compare(b.background.radius, 6)
            compare(b.contentItem.font.underline, false)
            compare(b.contentItem.textFormat, Text.PlainText)
        }

        function test_buttonStates_data() {
            return [
                { tag: "primary hovered", kind: "primary", act: "hover", face: Theme.brandHover,
                  label: "#FFFFFF", underline: false },
                { tag: "primary pressed", kind: "primary", act: "press", face: Theme.brandPressed,
                  label: "#FFFFFF", underline: false },
                { tag: "primary disabled", kind: "primary", act: "disable", face: Theme.offBg,
                  label: Theme.ink3, underline: false },
                { tag: "secondary hovered", kind: "secondary", act: "hover", face: Theme.hover,
                  label: Theme.ink, underline: false },
                { tag: "secondary pressed", kind: "secondary", act: "press", face: Theme.hover,
                  label: Theme.ink, underline: false },
                { tag: "secondary disabled", kind: "secondary", act: "disable", face: Theme.panel,
                  label: Theme.ink3, underline: false },
                { tag: "quiet hovered", kind: "quiet", act: "hover", face: "transparent",
                  label: Theme.brandText, underline: true },
                { tag: "quiet pressed", kind: "quiet", act: "press", face: "transparent",
                  label: Theme.brandText, underline: true },
                { tag: "quiet disabled", kind: "quiet", act: "disable", face: "transparent",
                  label: Theme.ink3, underline: false }
            ]
        }

        function test_buttonStates(data) {
            const b = createTemporaryObject(buttonComponent, scene, { kind: data.kind, x: 20, y: 20 })
            if (data.act === "disable") {
                b.enabled = false
            } else {
                mouseMove(b, b.width / 2, b.height / 2)
                tryCompare(b, "hovered", true)
                if (data.act === "press")
                    mousePress(b)
            }
            colour(b.background.color, data.face, "face")
            colour(b.contentItem.color, data.label, "label")
            compare(b.contentItem.font.underline, data.underline)
            if (data.act === "press") {
                verify(b.down)
                mouseRelease(b)
            }
            mouseMove(scene, 1, 1)
        }

        function test_buttonCursor() {
            const b = createTemporaryObject(buttonComponent, scene)
            const handler = Util.list(b.data).filter(d => d.cursorShape !== undefined)[0]
            compare(handler.cursorShape, Qt.PointingHandCursor)
            b.enabled = false
            compare(handler.cursorShape, Qt.ArrowCursor)
        }

        function test_buttonFocusRing() {
            const a = createTemporaryObject(buttonComponent, scene, { x: 10, y: 10 })
            const b = createTemporaryObject(buttonComponent, scene, { x: 10, y: 60 })
            compare(ring(a).visible, false)
            a.forceActiveFocus(Qt.TabFocusReason)
            verify(a.visualFocus)
            verify(ring(a).visible)
            compare(ring(a).anchors.margins, -3)
            compare(ring(a).radius, 8)
            compare(ring(a).border.width, 2)
            colour(ring(a).border.color, Theme.brandText, "ring")
            mouseClick(b)
            verify(b.activeFocus)
            compare(ring(b).visible, false)
            compare(ring(a).visible, false)
        }

        function test_buttonLabel() {
            const b = createTemporaryObject(buttonComponent, scene, {
                text: "Очень длинная надпись, которой не хватает места на кнопке", width: 90 })
            verify(b.contentItem.truncated)
            compare(b.contentItem.elide, Text.ElideRight)
            b.font.letterSpacing = 3
            b.font.italic = true
            compare(b.contentItem.font.letterSpacing, 0)
            compare(b.contentItem.font.italic, false)
            b.kind = "quiet"
            compare(b.implicitWidth, b.contentItem.implicitWidth + 4)
            b.kind = "primary"
            colour(b.background.color, Theme.brand, "kind follows at once")
        }

        // Text from the server or a certificate is drawn literally: tags are shown, never obeyed,
        // and no image is fetched.
        function test_textIsPlain() {
            const markup = "<b>x</b><img src='http://example.invalid/a.png'>"
            const t = createTemporaryObject(textComponent, scene, { text: markup })
            const x = createTemporaryObject(textComponent, scene, { text: "x" })
            compare(t.textFormat, Text.PlainText)
            compare(t.text, markup)
            verify(t.implicitWidth > 20 * x.implicitWidth, "the tags are drawn as characters")
            compare(t.font.pixelSize, Theme.body)
            colour(t.color, Theme.ink, "text colour")
        }

        function test_tabularFigures() {
            const ones = createTemporaryObject(textComponent, scene, { text: "1111111111" })
            const zeros = createTemporaryObject(textComponent, scene, { text: "0000000000" })
            compare(ones.implicitWidth, zeros.implicitWidth)
        }

        function test_fontFeatures() {
            const ones = createTemporaryObject(textComponent, scene, { text: "1111111111" })
            if (ones.font.features === undefined)
                skip("font features reach QML from Qt 6.6; the fonts' own figures are tabular")
            compare(ones.font.features["tnum"], 1)
            const b = createTemporaryObject(buttonComponent, scene)
            const f = createTemporaryObject(fieldComponent, scene)
            compare(b.font.features["tnum"], undefined)
            compare(f.font.features["tnum"], undefined)
        }

        function test_textField() {
            const f = createTemporaryObject(fieldComponent, scene, { x: 10, y: 10 })
            compare(f.implicitHeight, 32)
            compare(f.leftPadding, 10)
            compare(f.rightPadding, 10)
            compare(f.font.pixelSize, Theme.lead)
            colour(f.color, Theme.ink, "text")
            colour(f.placeholderTextColor, Theme.ink3, "placeholder")
            colour(f.selectionColor, Theme.brand, "selection")
            colour(f.selectedTextColor, "#FFFFFF", "selected text")
            compare(f.background.radius, 6)
            colour(f.background.color, Theme.panel, "face")
            compare(f.background.border.width, 1)
            colour(f.background.border.color, Theme.line, "border at rest")
            f.forceActiveFocus()
            compare(f.background.border.width, 2)
            colour(f.background.border.color, Theme.brandText, "border with focus")
        }
    }
}
