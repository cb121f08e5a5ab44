import QtQuick
import QtQuick.Layouts

ColumnLayout {
}
