import QtQuick
import QtQuick.Layouts

// Third tab: every certificate of the personal store, also those that cannot connect an
// organisation, so that the user sees why one is missing on the first tab.
PageView {
    id: page

    readonly property bool signerReady: agent.signerMissing === ""

    ColumnLayout {
        width: page.availableWidth
        spacing: 0

        RowLayout {
            Layout.fillWidth: true
            Layout.bottomMargin: 12
            spacing: 12

            AppText {
                Layout.fillWidth: true
                wrapMode: Text.WordWrap
                color: Theme.ink2
                text: qsTr("Личное хранилище Windows, подпись через %1. Вставили носитель — обновите список.")
                      .arg(agent.signerName)
            }
            AppButton {
                text: qsTr("Обновить список")
                onClicked: agent.refreshCertificates()
            }
        }

        ListPanel {
            Layout.fillWidth: true

            SignerNotice {
                first: true
            }

            Repeater {
                model: agent.certificates

                PanelRow {
                    required property var modelData
                    required property int index

                    // Below the notice the first certificate keeps its separator.
                    first: index === 0 && page.signerReady

                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2

                        AppText {
                            Layout.fillWidth: true
                            text: modelData.title
                            font.pixelSize: Theme.lead
                            color: modelData.valid ? Theme.ink : Theme.ink3
                            maximumLineCount: 1
                            elide: Text.ElideRight
                        }
                        AppText {
                            Layout.fillWidth: true
                            wrapMode: Text.WordWrap
                            color: modelData.inn === "" ? Theme.warn : Theme.ink2
                            text: modelData.inn === ""
                                  ? qsTr("ИНН в сертификате не найден — Честный знак такую подпись не примет")
                                  : qsTr("ИНН %1, действует до %2").arg(modelData.inn)
                                                                   .arg(modelData.validTo)
                        }
                    }
                    Chip {
                        visible: !modelData.valid || modelData.expiresSoon
                        tone: modelData.valid ? "warn" : "off"
                        text: modelData.valid ? qsTr("Меньше месяца") : qsTr("Недействителен")
                    }
                }
            }

            PanelRow {
                first: true
                visible: agent.certificates.length === 0 && agent.signerMissing === ""

                AppText {
                    Layout.fillWidth: true
                    wrapMode: Text.WordWrap
                    color: Theme.ink2
                    text: qsTr("Сертификатов нет. Вставьте носитель с ключом и нажмите «Обновить список».")
                }
            }
        }
    }
}
