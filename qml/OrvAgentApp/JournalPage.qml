import QtQuick
import QtQuick.Layouts

// Second tab: the latest signatures, newest first, each with its result and a refusal's reason.
PageView {
    id: page

    ColumnLayout {
        width: page.availableWidth
        spacing: 0

        ListPanel {
            Layout.fillWidth: true

            Repeater {
                model: agent.journal

                PanelRow {
                    required property var modelData
                    required property int index

                    first: index === 0

                    ColumnLayout {
                        Layout.preferredWidth: 64
                        Layout.alignment: Qt.AlignTop
                        spacing: 2

                        AppText {
                            text: modelData.time
                        }
                        AppText {
                            text: modelData.date
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
                            text: modelData.title
                            font.weight: Font.DemiBold
                            maximumLineCount: 1
                            elide: Text.ElideRight
                        }
                        AppText {
                            Layout.fillWidth: true
                            visible: modelData.inn !== ""
                            text: qsTr("ИНН %1").arg(modelData.inn)
                            color: Theme.ink2
                        }
                        AppText {
                            Layout.fillWidth: true
                            visible: !modelData.ok && modelData.message !== ""
                            text: modelData.message
                            color: Theme.err
                            wrapMode: Text.Wrap
                        }
                    }
                    Chip {
                        Layout.alignment: Qt.AlignTop
                        tone: modelData.ok ? "ok" : "err"
                        text: modelData.ok ? qsTr("Подписано") : qsTr("Отказ")
                    }
                }
            }

            PanelRow {
                first: true
                visible: agent.journal.length === 0

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
