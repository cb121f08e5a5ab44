import QtQuick
import QtQuick.Layouts

// Rounded panel that stacks rows; rows touch and the 1 px border stays visible around them.
Rectangle {
    default property alias content: column.data

    color: Theme.panel
    radius: 8
    border.width: 1
    border.color: Theme.line
    implicitHeight: column.implicitHeight + 2

    ColumnLayout {
        id: column
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.margins: 1
        spacing: 0
    }
}
