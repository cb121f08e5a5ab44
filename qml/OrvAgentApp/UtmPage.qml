import QtQuick
import QtQuick.Layouts

// Fourth tab: the УТМ addresses this agent serves and what the last probe of each found.
PageView {
    id: page

    // The field keeps a refused address for correction.
    function add() {
        if (agent.addUtm(addressField.text))
            addressField.clear()
    }

    function details(row) {
        const parts = [row.endpoint]
        if (row.version !== "")
            parts.push(qsTr("УТМ %1").arg(row.version))
        if (row.checkedAt !== "")
            parts.push(qsTr("проверен в %1").arg(row.checkedAt))
        return parts.filter(part => part !== "").join(", ")
    }

    function keys(row) {
        const parts = []
        if (row.rsaExpires !== "")
            parts.push(qsTr("Ключ доступа к ЕГАИС до %1").arg(row.rsaExpires))
        if (row.gostExpires !== "")
            parts.push(qsTr("сертификат КЭП до %1").arg(row.gostExpires))
        return parts.join(", ")
    }

    ColumnLayout {
        width: page.availableWidth
        spacing: 0

        AppText {
            Layout.fillWidth: true
            Layout.bottomMargin: 12
            wrapMode: Text.WordWrap
            color: Theme.ink2
            text: qsTr("Нужно только на компьютере, где работает УТМ или откуда он виден в сети. Агент читает из УТМ входящие ТТН и запрашивает остатки; записи в ЕГАИС отсюда нет, пока её не включит поддержка.")
        }

        ListPanel {
            Layout.fillWidth: true
            Layout.bottomMargin: 16
            visible: agent.utms.length > 0

            Repeater {
                model: agent.utms

                PanelRow {
                    required property var modelData
                    required property int index

                    first: index === 0

                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2

                        AppText {
                            Layout.fillWidth: true
                            font.pixelSize: Theme.lead
                            text: modelData.fsrarId !== ""
                                  ? qsTr("FSRAR_ID %1").arg(modelData.fsrarId)
                                  : qsTr("FSRAR_ID ещё не известен")
                        }
                        AppText {
                            Layout.fillWidth: true
                            wrapMode: Text.WordWrap
                            color: Theme.ink2
                            text: page.details(modelData)
                        }
                        AppText {
                            Layout.fillWidth: true
                            Layout.topMargin: 4
                            visible: modelData.error !== ""
                            // Errors quote addresses and paths: they break where they must.
                            wrapMode: Text.Wrap
                            color: Theme.err
                            text: modelData.error
                        }
                        AppText {
                            Layout.fillWidth: true
                            visible: modelData.rsaExpires !== "" || modelData.gostExpires !== ""
                            wrapMode: Text.WordWrap
                            color: Theme.ink2
                            text: page.keys(modelData)
                        }
                    }
                    ColumnLayout {
                        Layout.alignment: Qt.AlignTop
                        spacing: 6

                        Chip {
                            Layout.alignment: Qt.AlignRight
                            tone: !modelData.checked ? "off" : modelData.reachable ? "ok" : "err"
                            text: !modelData.checked ? qsTr("Проверяется")
                                : modelData.reachable ? qsTr("Отвечает")
                                : qsTr("Не отвечает")
                        }
                        AppButton {
                            Layout.alignment: Qt.AlignRight
                            kind: "quiet"
                            text: qsTr("Убрать")
                            onClicked: agent.removeUtm(modelData.endpoint)
                        }
                    }
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            spacing: 8

            AppTextField {
                id: addressField
                Layout.fillWidth: true
                placeholderText: "192.168.1.10:8080"
                onAccepted: page.add()
            }
            AppButton {
                kind: agent.utms.length === 0 ? "primary" : "secondary"
                enabled: addressField.text.trim() !== ""
                text: qsTr("Добавить УТМ")
                onClicked: page.add()
            }
            AppButton {
                visible: agent.utms.length > 0
                text: agent.utms.length >= 2 ? qsTr("Проверить все") : qsTr("Проверить")
                onClicked: agent.checkUtm()
            }
        }
    }
}
