import QtQuick
import QtQuick.Controls.Basic

// The window's text. Whatever it shows is drawn literally: names, subjects and messages come from
// the server, certificates and УТМ, and must never be read as markup (rich text would also load
// remote images).
Text {
    font.family: Theme.family
    font.pixelSize: Theme.body
    color: Theme.ink
    textFormat: Text.PlainText

    // A text cut short by its elision shows in full under the pointer.
    ToolTip.text: text
    ToolTip.visible: truncated && hover.hovered
    ToolTip.delay: 500

    HoverHandler {
        id: hover
        enabled: parent.truncated
    }

    // Tabular figures keep numbers in rows above each other aligned. Font features reach QML
    // only with Qt 6.6; older versions leave the font's own figures, which are tabular in the
    // fonts the window uses.
    Component.onCompleted: {
        if (font.features !== undefined)
            font.features = { "tnum": 1 }
    }
}
