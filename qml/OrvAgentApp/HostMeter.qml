import QtQuick
import QtQuick.Layouts

// One measure of the machine: its name and value on a line, and under them a thin bar of the
// used share that turns to warning and then to error as the resource runs out. A negative share
// means "not measured" and hides the bar.
ColumnLayout {
    id: meter

    property string label: ""
    property string value: ""
    property real share: -1

    spacing: 5

    RowLayout {
        Layout.fillWidth: true
        spacing: 6

        AppText {
            Layout.alignment: Qt.AlignBaseline
            text: meter.label
            color: Theme.ink2
            font.pixelSize: Theme.small
        }
        AppText {
            Layout.fillWidth: true
            Layout.alignment: Qt.AlignBaseline
            text: meter.value
            font.weight: Font.DemiBold
            elide: Text.ElideRight
        }
    }

    Rectangle {
        objectName: "track"
        Layout.fillWidth: true
        implicitHeight: 3
        radius: 1.5
        color: Theme.line
        visible: meter.share >= 0

        // A share above 1 (more in use than the limit says) still stops at the track's end.
        Rectangle {
            objectName: "fill"
            height: parent.height
            radius: parent.radius
            width: parent.width * Math.min(Math.max(meter.share, 0), 1)
            color: meter.share > 0.95 ? Theme.err : meter.share > 0.8 ? Theme.warn : Theme.ink2
        }
    }
}
