import QtQuick
import QtQuick.Controls.Basic

// The frame of a page: it scrolls only vertically, its content as wide as the view. The scroll
// bar shows whenever there is more below or above, not only under the pointer, and the control
// that takes the keyboard focus is scrolled into view.
ScrollView {
    id: view

    // Scrolls just enough for item, a part of the page, to be wholly in view with a little room
    // around it for its focus ring.
    function reveal(item) {
        const flick = view.contentItem
        const area = item.mapToItem(flick.contentItem, 0, 0, item.width, item.height)
        const room = 8
        const bottom = Math.max(0, flick.contentHeight - flick.height)
        let y = flick.contentY
        if (area.y + area.height + room > y + flick.height)
            y = area.y + area.height + room - flick.height
        if (area.y - room < y)
            y = area.y - room
        flick.contentY = Math.min(Math.max(y, 0), bottom)
    }

    contentWidth: availableWidth
    ScrollBar.horizontal.policy: ScrollBar.AlwaysOff

    // The bar lies in the margin right of the page: it covers nothing, and the page keeps its
    // width whether it scrolls or not. So the view itself does not clip, only its content.
    ScrollBar.vertical: ScrollBar {
        id: bar
        parent: view
        x: view.width + 4
        y: view.topPadding
        height: view.availableHeight
        policy: view.contentHeight > view.availableHeight ? ScrollBar.AlwaysOn
                                                          : ScrollBar.AlwaysOff
        contentItem: Rectangle {
            implicitWidth: 6
            radius: 3
            color: bar.pressed || bar.hovered ? Theme.ink2 : Theme.ink3
        }
    }

    QtObject {
        // Pairing or unpairing changes what the page is about: it starts again from its top.
        readonly property bool paired: agent.paired
        onPairedChanged: view.contentItem.contentY = 0

        // Tab may land on a control scrolled out of view; the view follows it.
        readonly property Item focused: view.Window.activeFocusItem
        onFocusedChanged: {
            for (let it = focused; it && view.visible; it = it.parent) {
                if (it === view.contentItem) {
                    view.reveal(focused)
                    return
                }
            }
        }
    }

    Component.onCompleted: contentItem.clip = true
}
