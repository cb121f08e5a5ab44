pragma Singleton
import QtQuick

// Every colour and font of the window, in a light and a dark variant that follow the system.
QtObject {
    // Qt 6.5 and later report the system's colour scheme; Qt 6.4 has no such hint (the property
    // and Qt.Dark are both undefined there, so comparing them would always say "dark"). There the
    // lightness of the system palette's window colour tells a dark system from a light one.
    readonly property SystemPalette systemPalette: SystemPalette {
        colorGroup: SystemPalette.Active
    }
    readonly property bool dark: Application.styleHints.colorScheme !== undefined
                                 ? Application.styleHints.colorScheme === Qt.Dark
                                 : systemPalette.window.hslLightness < 0.5

    readonly property color bg: dark ? "#111316" : "#F1F2F4"
    readonly property color panel: dark ? "#1F2228" : "#FFFFFF"
    readonly property color hover: dark ? "#262A30" : "#F5F6F8"
    readonly property color line: dark ? "#2E3239" : "#E2E4E8"
    readonly property color ink: dark ? "#ECEDEF" : "#1C1F24"
    readonly property color ink2: dark ? "#A2A8B1" : "#5C626B"
    readonly property color ink3: dark ? "#727982" : "#8D939B"
    readonly property color brand: "#B6002D"
    readonly property color brandHover: "#9C0027"
    readonly property color brandPressed: "#830021"
    readonly property color brandText: dark ? "#FF7A93" : "#B6002D"
    readonly property color ok: dark ? "#63CF8E" : "#1B7C45"
    readonly property color okBg: dark ? "#173022" : "#E3F2E8"
    readonly property color warn: dark ? "#F0B34A" : "#935B00"
    readonly property color warnBg: dark ? "#34290F" : "#FBF0D9"
    readonly property color err: dark ? "#F28B82" : "#A8231B"
    readonly property color errBg: dark ? "#3A1D1C" : "#FBE3E1"
    readonly property color offBg: dark ? "#262A30" : "#ECEDF0"

    readonly property bool variable: Qt.fontFamilies().indexOf("Segoe UI Variable Text") >= 0
    readonly property string family: variable ? "Segoe UI Variable Text" : "Segoe UI"
    readonly property string display: variable ? "Segoe UI Variable Display" : "Segoe UI"

    readonly property int small: 12
    readonly property int body: 13
    readonly property int lead: 14
    readonly property int heading: 15
    readonly property int title: 22

    // The same colours as the state dot of the tray icons, whatever the scheme.
    function stateColor(state) {
        if (state === "online")
            return "#1FA35B"
        if (state === "offline" || state === "connecting")
            return "#E39B00"
        return "#9AA0A6"
    }
}
