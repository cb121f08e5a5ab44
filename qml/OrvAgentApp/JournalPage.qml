import QtQuick
import QtQuick.Layouts

// Second tab: the latest signatures, newest first, each with its result and a refusal's reason.
PageView {
    id: page

    // The controller hands over the newest rows as a new list after every signature. The rows
    // already shown stay: the new ones are inserted above them and the oldest dropped, so a
    // signature costs one row, not the whole page.
    function sameRow(shown, row) {
        for (const key in row) {
            if (shown[key] !== row[key])
                return false
        }
        return true
    }

    function syncRows(next) {
        const count = rows.count
        // How many new rows lie above the ones already shown.
        let added = 0
        for (; added < next.length; ++added) {
            const overlap = Math.min(count, next.length - added)
            let i = 0
            while (i < overlap && sameRow(rows.get(i), next[added + i]))
                ++i
            if (i === overlap)
                break
        }
        if (added === next.length && count > 0) {
            // Nothing in common: the rows are rewritten in place.
            for (let i = 0; i < Math.min(count, next.length); ++i)
                rows.set(i, next[i])
        } else {
            for (let i = 0; i < added; ++i)
                rows.insert(i, next[i])
        }
        if (rows.count > next.length)
            rows.remove(next.length, rows.count - next.length)
        for (let i = rows.count; i < next.length; ++i)
            rows.append(next[i])
    }

    ListModel {
        id: rows
    }

    ColumnLayout {
        width: page.availableWidth
        spacing: 0

        // Notices when the list really changed: a Repeater takes a new model only when it
        // differs from the one it has, and compares the two without building any row. It has
        // no delegate and takes no room in the column.
        Repeater {
            model: agent.journal
            onModelChanged: page.syncRows(model)
        }

        ListPanel {
            Layout.fillWidth: true

            Repeater {
                model: rows

                PanelRow {
                    required property string time
                    required property string date
                    required property string title
                    required property string inn
                    required property bool ok
                    required property string message
                    required property int index

                    first: index === 0

                    ColumnLayout {
                        Layout.preferredWidth: 64
                        Layout.alignment: Qt.AlignTop
                        spacing: 2

                        AppText {
                            text: time
                        }
                        AppText {
                            text: date
                            color: Theme.ink3
                            font.pixelSize: Theme.small
                        }
                    }
                    ColumnLayout {
                        Layout.fillWidth: true
                        Layout.alignment: Qt.AlignTop
                        spacing: 2

                        AppText {
                            Layout.fillWidth: true
                            text: title
                            font.weight: Font.DemiBold
                            maximumLineCount: 1
                            elide: Text.ElideRight
                        }
                        AppText {
                            Layout.fillWidth: true
                            visible: inn !== ""
                            text: qsTr("ИНН %1").arg(inn)
                            color: Theme.ink2
                        }
                        AppText {
                            Layout.fillWidth: true
                            visible: !ok && message !== ""
                            text: message
                            color: Theme.err
                            wrapMode: Text.Wrap
                        }
                    }
                    Chip {
                        Layout.alignment: Qt.AlignTop
                        tone: ok ? "ok" : "err"
                        text: ok ? qsTr("Подписано") : qsTr("Отказ")
                    }
                }
            }

            PanelRow {
                first: true
                visible: rows.count === 0

                AppText {
                    Layout.fillWidth: true
                    wrapMode: Text.WordWrap
                    color: Theme.ink2
                    text: qsTr("Подписей пока не было. Здесь появится каждая: вход в Честный знак, документы и приёмка УПД — с результатом и причиной отказа.")
                }
            }
        }
    }
}
