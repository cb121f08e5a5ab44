import QtQuick

// The agent's mark: the same picture as the tray icon, its dot coloured by the agent's state,
// with a ring pulsing out of the dot while the agent connects.
Item {
    id: mark

    property string agentState: "idle"

    implicitWidth: 52
    implicitHeight: 52

    Image {
        id: picture
        anchors.fill: parent
        smooth: true
        sourceSize.width: mark.width * 2
        sourceSize.height: mark.height * 2
        source: mark.agentState === "online" ? "icons/agent-online.svg"
              : mark.agentState === "offline" || mark.agentState === "connecting"
                ? "icons/agent-offline.svg"
                : "icons/agent-idle.svg"
    }

    Rectangle {
        id: ring

        // One unit of the icon's 32 × 32 view box, so the ring stays on the dot at any size.
        readonly property real unit: mark.width / 32

        width: 6.5 * unit
        height: width
        radius: width / 2
        x: 28.75 * unit - width / 2
        y: 3.25 * unit - height / 2
        color: "transparent"
        border.width: 1.5
        border.color: Theme.stateColor(mark.agentState)
        opacity: 0
        visible: mark.agentState === "connecting"

        SequentialAnimation on scale {
            loops: Animation.Infinite
            running: ring.visible
            NumberAnimation { from: 1; to: 2.6; duration: 1100; easing.type: Easing.OutCubic }
            PauseAnimation { duration: 300 }
        }
        SequentialAnimation on opacity {
            loops: Animation.Infinite
            running: ring.visible
            NumberAnimation { from: 0.9; to: 0; duration: 1100; easing.type: Easing.OutCubic }
            PauseAnimation { duration: 300 }
        }
    }
}
