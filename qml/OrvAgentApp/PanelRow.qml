import QtQuick
import QtQuick.Layouts

// One row of a ListPanel: its cells lie in one horizontal layout; a hairline separates it from
// the row above unless it is flagged first.
Item {
    id: panelRow

    property bool first: false
    default property alias content: cells.data

    width: parent ? parent.width : 0
    implicitHeight: cells.implicitHeight + 24

    Rectangle {
        objectName: "separator"
        x: 16
        width: panelRow.width - 16
        height: 1
        color: Theme.line
        visible: !panelRow.first
    }

    RowLayout {
        id: cells
        anchors.fill: parent
        anchors.leftMargin: 16
        anchors.rightMargin: 14
        anchors.topMargin: 12
        anchors.bottomMargin: 12
        spacing: 12
    }
}
