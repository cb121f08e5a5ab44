import QtQuick

// Rounded panel that stacks rows; rows touch and the 1 px border stays visible around them.
// The rows lie in a positioner, not a layout: Qt 6.4's layouts keep the list of items they
// arranged until their next polish, and one that changes size before then (a panel in a hidden
// window does, as the window is shown again) arranges the rows a Repeater has deleted meanwhile.
Rectangle {
    default property alias content: column.data

    color: Theme.panel
    radius: 8
    border.width: 1
    border.color: Theme.line
    implicitHeight: column.implicitHeight + 2

    Column {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.margins: 1
    }
}
