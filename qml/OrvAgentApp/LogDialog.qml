import QtQuick
import QtQuick.Controls.Basic

Dialog {
}
