import QtQuick
import QtQuick.Controls.Basic

ScrollView {
}
