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

    Image {
        id: windowIcon
        x: 100
        width: 64
        height: 64
        source: "qrc:/qt/qml/OrvAgentApp/icons/agent.svg"
    }

    TestCase {
        name: "BrandMark"
        when: windowShown

        function picture() { return mark.children[0] }
        function ring() { return mark.children[1] }

        function test_state_data() {
            return [
                { tag: "idle", state: "idle", icon: "agent-idle.svg", pulse: false },
                { tag: "empty", state: "", icon: "agent-idle.svg", pulse: false },
                { tag: "unknown", state: "Online", icon: "agent-idle.svg", pulse: false },
                { tag: "connecting", state: "connecting", icon: "agent-offline.svg", pulse: true },
                { tag: "offline", state: "offline", icon: "agent-offline.svg", pulse: false },
                { tag: "online", state: "online", icon: "agent-online.svg", pulse: false }
            ]
        }

        function test_state(data) {
            mark.agentState = data.state
            verify(String(picture().source).endsWith("icons/" + data.icon), picture().source)
            tryCompare(picture(), "status", Image.Ready)
            compare(ring().visible, data.pulse)
            verify(Qt.colorEqual(ring().border.color, Theme.stateColor(data.state)))
        }

        function near(actual, expected) {
            const e = Qt.color(expected)
            return Math.abs(actual.r - e.r) < 0.02 && Math.abs(actual.g - e.g) < 0.02
                    && Math.abs(actual.b - e.b) < 0.02
        }

        // The dot drawn by each icon file has the colour the theme gives its state, so the
        // window and the tray show a state alike; the window icon's dot is the brand colour.
        function test_dotColours_data() {
            return [
                { tag: "idle", state: "idle" },
                { tag: "offline", state: "offline" },
                { tag: "online", state: "online" }
            ]
        }

        function test_dotColours(data) {
            mark.agentState = data.state
            tryCompare(picture(), "status", Image.Ready)
            const image = grabImage(mark)
            const dot = image.pixel(Math.round(28.75 / 32 * mark.width),
                                    Math.round(3.25 / 32 * mark.height))
            verify(near(dot, Theme.stateColor(data.state)), dot)
            const face = image.pixel(Math.round(mark.width / 8), Math.round(mark.height / 2))
            verify(near(face, Theme.brand), face)
        }

        function test_windowIcon() {
            tryCompare(windowIcon, "status", Image.Ready)
            compare(windowIcon.implicitWidth, 64)
            const image = grabImage(windowIcon)
            verify(near(image.pixel(Math.round(28.75 * 2), Math.round(3.25 * 2)), Theme.brand))
        }

        function test_size() {
            compare(mark.implicitWidth, 52)
            compare(mark.implicitHeight, 52)
            compare(picture().sourceSize.width, 104)
            mark.agentState = "connecting"
            for (const size of [52, 32, 128]) {
                mark.width = size
                mark.height = size
                const unit = size / 32
                compare(ring().width, 6.5 * unit)
                compare(ring().x + ring().width / 2, 28.75 * unit)
                compare(ring().y + ring().height / 2, 3.25 * unit)
                compare(picture().sourceSize.height, 2 * size)
            }
            mark.width = 52
            mark.height = 52
        }

        // The ring grows out of the dot while it fades, again and again, only while connecting.
        function test_pulse() {
            mark.agentState = "connecting"
            for (let cycle = 0; cycle < 2; ++cycle) {
                tryVerify(() => ring().scale > 2 && ring().opacity < 0.3, 2000)
                tryVerify(() => ring().scale < 1.3 && ring().opacity > 0.6, 2000)
            }
            mark.agentState = "online"
            compare(ring().visible, false)
            const scale = ring().scale
            wait(100)
            compare(ring().scale, scale)
        }
    }
}
