import QtQuick
import QtQuick.Layouts

// First tab: the organisations served, and the two ways to add one: by an organisation's
// signature or by a one-time code from the cabinet.
PageView {
    id: page

    // Candidates whose organisation is already working or waiting for its owner are left out;
    // a rejected or disconnected one stays, so that it can be connected again.
    readonly property var freeCandidates: {
        const taken = []
        const orgs = organizationRows.model
        for (let i = 0; i < orgs.length; ++i) {
            if (orgs[i].status === "ACTIVE" || orgs[i].status === "PENDING")
                taken.push(orgs[i].inn)
        }
        const free = []
        const candidates = candidatesSeen.model
        for (let j = 0; j < candidates.length; ++j) {
            if (taken.indexOf(candidates[j].inn) < 0)
                free.push(candidates[j])
        }
        return free
    }

    function statusTone(status) {
        return status === "ACTIVE" ? "ok"
             : status === "PENDING" ? "warn"
             : status === "REJECTED" ? "err"
             : "off"
    }

    function statusText(status) {
        return status === "ACTIVE" ? qsTr("Работает")
             : status === "PENDING" ? qsTr("Ждёт подтверждения владельцем")
             : status === "REJECTED" ? qsTr("Отклонена владельцем")
             : qsTr("Отключена")
    }

    function pairByCode() {
        if (codeField.text.length >= 8)
            agent.pair(codeField.text)
    }

    ColumnLayout {
        width: page.availableWidth
        spacing: 0

        // The lists the candidates above are worked out from, as last taken. The controller
        // hands out new lists at every change of the agent; a Repeater takes one only when it
        // differs from the one it holds (comparing them without building any row), so the
        // candidates are worked out again only then. This one has no delegate and takes no room.
        Repeater {
            id: candidatesSeen
            model: agent.enrollCandidates
        }

        ListPanel {
            Layout.fillWidth: true
            Layout.bottomMargin: 28
            visible: agent.organizations.length > 0

            Repeater {
                id: organizationRows
                model: agent.organizations

                PanelRow {
                    required property var modelData
                    required property int index

                    first: index === 0

                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2

                        AppText {
                            Layout.fillWidth: true
                            text: modelData.name
                            font.pixelSize: Theme.lead
                            font.weight: Font.DemiBold
                            maximumLineCount: 1
                            elide: Text.ElideRight
                        }
                        // Beside an unfinished registration's chip and button a small window
                        // leaves little room.
                        AppText {
                            Layout.fillWidth: true
                            text: qsTr("ИНН %1").arg(modelData.inn)
                            color: Theme.ink2
                            maximumLineCount: 1
                            elide: Text.ElideRight
                        }
                    }
                    Chip {
                        visible: modelData.signupPending
                        tone: "warn"
                        text: qsTr("Регистрация не завершена")
                    }
                    AppButton {
                        visible: modelData.signupPending
                        kind: "primary"
                        text: qsTr("Открыть кабинет")
                        onClicked: agent.openCabinet(modelData.inn)
                    }
                    Chip {
                        visible: !modelData.signupPending
                        tone: page.statusTone(modelData.status)
                        text: page.statusText(modelData.status)
                    }
                }
            }
        }

        AppText {
            text: agent.organizations.length > 0 ? qsTr("Добавить организацию")
                                                 : qsTr("Подключите организацию")
            font.family: Theme.display
            font.pixelSize: Theme.heading
            font.weight: Font.DemiBold
        }

        AppText {
            Layout.fillWidth: true
            Layout.topMargin: 4
            Layout.bottomMargin: 12
            wrapMode: Text.WordWrap
            color: Theme.ink2
            text: (page.freeCandidates.length > 1
                   ? qsTr("Выберите электронную подпись организации. КриптоПро попросит носитель с ключом для каждой организации отдельно: у них разные контейнеры.")
                   : qsTr("Выберите электронную подпись организации. КриптоПро попросит носитель с ключом."))
                  + " "
                  + qsTr("Если организации ещё нет в TELLVANE PARVIS, мы её зарегистрируем, а вы станете владельцем.")
        }

        ListPanel {
            Layout.fillWidth: true

            Repeater {
                model: page.freeCandidates

                PanelRow {
                    required property var modelData
                    required property int index

                    first: index === 0

                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2

                        AppText {
                            Layout.fillWidth: true
                            text: modelData.title
                            font.pixelSize: Theme.lead
                            maximumLineCount: 1
                            elide: Text.ElideRight
                        }
                        AppText {
                            Layout.fillWidth: true
                            text: qsTr("ИНН %1, действует до %2").arg(modelData.inn)
                                                                 .arg(modelData.validTo)
                            color: Theme.ink2
                            maximumLineCount: 1
                            elide: Text.ElideRight
                        }
                        AppText {
                            Layout.fillWidth: true
                            visible: modelData.personal
                            text: qsTr("Подпись физлица. Если она выдана сотруднику по доверенности, подключитесь кодом.")
                            color: Theme.warn
                            wrapMode: Text.WordWrap
                        }
                    }
                    // One signature is the page's main action; several are a choice among equals.
                    AppButton {
                        kind: page.freeCandidates.length === 1 ? "primary" : "secondary"
                        text: qsTr("Подключить")
                        onClicked: agent.enroll(modelData.inn, modelData.thumbprint)
                    }
                }
            }

            SignerNotice {
                first: true
            }

            PanelRow {
                first: true
                visible: page.freeCandidates.length === 0 && agent.signerMissing === ""

                AppText {
                    Layout.fillWidth: true
                    wrapMode: Text.WordWrap
                    color: Theme.ink2
                    text: agent.enrollCandidates.length > 0
                          ? qsTr("Все организации с подписью на этом компьютере уже подключены. Для другой организации вставьте носитель с её ключом и обновите список на вкладке «Сертификаты».")
                          : qsTr("Действующих подписей с ИНН на этом компьютере нет. Вставьте носитель с ключом и обновите список на вкладке «Сертификаты», установите TELLVANE FERROW там, где стоит подпись, или подключитесь кодом.")
                }
            }
        }

        AppText {
            Layout.topMargin: 28
            text: qsTr("Подключить кодом")
            font.family: Theme.display
            font.pixelSize: Theme.heading
            font.weight: Font.DemiBold
        }

        AppText {
            Layout.fillWidth: true
            Layout.topMargin: 4
            Layout.bottomMargin: 12
            wrapMode: Text.WordWrap
            color: Theme.ink2
            text: qsTr("Код выдаёт владелец в кабинете TELLVANE PARVIS («Компьютеры»), он действует 10 минут. Нужен для компьютера с УТМ, подписи по доверенности или организации, которой нет в списке выше.")
        }

        RowLayout {
            Layout.bottomMargin: 8
            spacing: 8

            // The code goes to the server exactly as typed; capitals are only how it is shown.
            AppTextField {
                id: codeField
                Layout.preferredWidth: 180
                placeholderText: "XXXX-XXXX"
                font.letterSpacing: 1
                font.capitalization: Font.AllUppercase
                onAccepted: page.pairByCode()
            }
            AppButton {
                text: qsTr("Подключить кодом")
                enabled: codeField.text.length >= 8
                onClicked: page.pairByCode()
            }
        }
    }
}
