import QtQuick
import QtQuick.Controls.Basic

// The window's text. Whatever it shows is drawn literally: names, subjects and messages come from
// the server, certificates and УТМ, and must never be read as markup (rich text would also load
// remote images).
Text {
    id: label

    font.family: Theme.family
    font.pixelSize: Theme.body
    color: Theme.ink
    textFormat: Text.PlainText

    HoverHandler {
        id: hover
        enabled: label.truncated
    }

    // A text cut short by its elision shows in full under the pointer, as literally as here: the
    // shared tooltip would read it as markup.
    Loader {
        active: label.truncated
        sourceComponent: ToolTip {
            id: tip
            parent: label
            visible: hover.hovered
            delay: 500
            text: label.text
            contentItem: Text {
                text: tip.text
                textFormat: Text.PlainText
                wrapMode: Text.Wrap
                font: tip.font
                color: tip.palette.toolTipText
            }
        }
    }

    // Tabular figures keep numbers in rows above each other aligned. Font features reach QML
    // only with Qt 6.6; older versions leave the font's own figures, which are tabular in the
    // fonts the window uses.
    Component.onCompleted: {
        if (font.features !== undefined)
            font.features = { "tnum": 1 }
    }
}
