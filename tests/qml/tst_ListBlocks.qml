import QtQuick
import QtQuick.Layouts
import QtTest
import OrvAgentApp
import "testutil.js" as Util

Item {
    id: scene
    width: 400
    height: 400

    Component {
        id: chipComponent
        Chip { text: "Работает" }
    }

    ListPanel {
        id: panel
        width: 300
        PanelRow {
            id: rowA
            first: true
            AppText { text: "A" }
        }
        PanelRow {
            id: rowB
            AppText {
                id: wrapped
                Layout.fillWidth: true
                wrapMode: Text.WordWrap
                text: "B"
            }
        }
        PanelRow {
            id: rowC
            first: true
            visible: false
            AppText { text: "C" }
        }
    }

    ListPanel {
        id: emptyPanel
        y: 300
        width: 300
        PanelRow {
            first: true
            visible: false
        }
    }

    TestCase {
        name: "ListBlocks"
        when: windowShown

        function separator(row) {
            return Util.list(row.children).filter(c => c.objectName === "separator")[0]
        }

        function test_chipTones_data() {
            return [
                { tag: "ok", tone: "ok", bg: Theme.okBg, fg: Theme.ok },
                { tag: "warn", tone: "warn", bg: Theme.warnBg, fg: Theme.warn },
                { tag: "err", tone: "err", bg: Theme.errBg, fg: Theme.err },
                { tag: "off", tone: "off", bg: Theme.offBg, fg: Theme.ink2 },
                { tag: "empty", tone: "", bg: Theme.offBg, fg: Theme.ink2 },
                { tag: "upper case", tone: "OK", bg: Theme.offBg, fg: Theme.ink2 },
                { tag: "other word", tone: "pending", bg: Theme.offBg, fg: Theme.ink2 }
            ]
        }

        function test_chipTones(data) {
            const chip = createTemporaryObject(chipComponent, scene, { tone: data.tone })
            const label = chip.children[0]
            verify(Qt.colorEqual(chip.color, data.bg), "background " + chip.color)
            verify(Qt.colorEqual(label.color, data.fg), "label " + label.color)
            compare(label.font.pixelSize, Theme.small)
            compare(label.font.weight, Font.DemiBold)
            compare(label.textFormat, Text.PlainText)
            compare(chip.implicitWidth, label.implicitWidth + 16)
            compare(chip.implicitHeight, 22)
            compare(chip.radius, 11)
        }

        function test_emptyChip() {
            const chip = createTemporaryObject(chipComponent, scene, { text: "" })
            compare(chip.implicitWidth, 16)
            verify(chip.visible)
        }

        // The separator follows the flag, not the position; hidden rows take no room.
        function test_rowsAndSeparators() {
            compare(separator(rowA).visible, false)
            compare(separator(rowB).visible, true)
            compare(separator(rowB).x, 16)
            compare(separator(rowB).width, rowB.width - 16)
            compare(rowB.y, rowA.height)
            compare(rowA.height, rowA.children[1].implicitHeight + 24)
            compare(panel.implicitHeight, rowA.height + rowB.height + 2)
            rowC.visible = true
            compare(separator(rowC).visible, false)
            tryVerify(() => panel.implicitHeight === rowA.height + rowB.height + rowC.height + 2)
            rowA.visible = false
            tryCompare(rowB, "y", 0)
            compare(separator(rowB).visible, true)
            rowA.visible = true
            rowC.visible = false
        }

        function test_emptyPanel() {
            compare(emptyPanel.implicitHeight, 2)
            compare(emptyPanel.radius, 8)
            compare(emptyPanel.border.width, 1)
            verify(Qt.colorEqual(emptyPanel.color, Theme.panel))
        }

        function test_rowGrowsWithWrappedText() {
            const oneLine = rowB.height
            wrapped.text = "Длинная строка, которая не помещается в одну строку панели и переносится "
                    + "по словам на следующую, и ещё на одну, чтобы строк было несколько."
            tryVerify(() => wrapped.lineCount > 1)
            tryVerify(() => rowB.height > oneLine)
            compare(rowB.height, wrapped.height + 24)
            wrapped.text = "B"
            tryCompare(rowB, "height", oneLine)
        }
    }
}
