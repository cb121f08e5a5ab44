import QtQuick
import QtTest
import OrvAgentApp

Item {
    id: scene
    width: 300
    height: 300

    BrandMark {
        id: mark
    }

    TestCase {
        name: "BrandMark"
        when: windowShown

        function picture() { return mark.children[0] }
        function ring() { return mark.children[1] }

        function near(actual, expected) {
            const e = Qt.color(expected)
            return Math.abs(actual.r - e.r) < 0.02 && Math.abs(actual.g - e.g) < 0.02
                    && Math.abs(actual.b - e.b) < 0.02
        }

        function test_state_data() {
            return [
                { tag: "idle", state: "idle", icon: "agent-idle.svg", pulse: false },
                { tag: "unknown", state: "Online", icon: "agent-idle.svg", pulse: false },
                { tag: "connecting", state: "connecting", icon: "agent-offline.svg", pulse: true },
                { tag: "offline", state: "offline", icon: "agent-offline.svg", pulse: false },
                { tag: "online", state: "online", icon: "agent-online.svg", pulse: false }
            ]
        }

        // The dot drawn by each icon file has the colour the theme gives its state, so the
        // window and the tray show a state alike.
        function test_state(data) {
            mark.agentState = data.state
            verify(String(picture().source).endsWith("icons/" + data.icon), picture().source)
            tryCompare(picture(), "status", Image.Ready)
            compare(ring().visible, data.pulse)
            const image = grabImage(mark)
            const dot = image.pixel(Math.round(28.75 / 32 * mark.width),
                                    Math.round(3.25 / 32 * mark.height))
            verify(near(dot, Theme.stateColor(data.state)), dot)
            const face = image.pixel(Math.round(mark.width / 8), Math.round(mark.height / 2))
            verify(near(face, Theme.brand), face)
        }

        // The ring grows out of the dot while it fades, again and again, only while connecting.
        function test_pulse() {
            mark.agentState = "connecting"
            for (let cycle = 0; cycle < 2; ++cycle) {
                tryVerify(() => ring().scale > 2 && ring().opacity < 0.3, 2000)
                tryVerify(() => ring().scale < 1.3 && ring().opacity > 0.6, 2000)
            }
        }
    }
}
