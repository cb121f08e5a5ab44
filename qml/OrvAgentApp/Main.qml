import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts

// The agent's only window: what the agent is doing, its pages and the actions around them.
ApplicationWindow {
    id: root

    // Written by name by the self-updater: the version of an update that waits, or empty.
    property string pendingUpdate: ""
    signal updateNowRequested()

    readonly property bool hostMode: typeof utmHost !== "undefined" && utmHost !== null
    readonly property int activeCount: {
        let n = 0
        const orgs = organizationsSeen.model
        for (let i = 0; i < orgs.length; ++i) {
            if (orgs[i].status === "ACTIVE")
                ++n
        }
        return n
    }

    function organizationsGenitive(n) {
        const tail = n % 100
        return n % 10 === 1 && tail !== 11 ? qsTr("%1 организации").arg(n)
                                           : qsTr("%1 организаций").arg(n)
    }

    function statusDetail() {
        switch (agent.state) {
        case "connecting":
            return qsTr("Связываемся с сервером TELLVANE")
        case "offline":
            return qsTr("Повторяем подключение. Пока связи нет, документы не подписываются, а вход в Честный знак не обновляется")
        case "online":
            if (activeCount > 0)
                return qsTr("Подписывает документы и обновляет вход в Честный знак для %1")
                       .arg(organizationsGenitive(activeCount))
            if (agent.organizations.length > 0)
                return qsTr("Организация ждёт подтверждения владельцем в кабинете — после него агент начнёт работать")
            return qsTr("Организаций пока нет — подключите первую")
        default:
            return qsTr("Подключите организацию, чтобы агент начал подписывать за неё")
        }
    }

    width: 720
    height: 640
    minimumWidth: 560
    minimumHeight: 480
    title: "TELLVANE FERROW"
    visible: !startInTray
    background: Rectangle {
        color: Theme.bg
    }
    // Tooltips take the theme's colours like everything else in the window.
    palette.toolTipBase: Theme.panel
    palette.toolTipText: Theme.ink

    // The organisations as last taken. The controller hands out a new list at every change of
    // the agent; a Repeater takes it only when it differs from the one it holds (comparing them
    // without building any row), so the count above is worked out again only then.
    Repeater {
        id: organizationsSeen
        model: agent.organizations
    }

    // Without a notification area there is nowhere to hide: closing ends the agent.
    onClosing: function (close) {
        if (!trayAvailable)
            return
        close.accepted = false
        closeDialog.open()
    }

    // The host refreshes faster and samples the PC only while its page is really in view.
    Binding {
        when: root.hostMode
        target: root.hostMode ? utmHost : null
        property: "watching"
        value: root.visible && pages.currentIndex === 4
    }

    ColumnLayout {
        anchors.fill: parent
        spacing: 0

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: headerRow.implicitHeight + 48
            color: Theme.panel

            RowLayout {
                id: headerRow
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.leftMargin: 28
                anchors.rightMargin: 28
                anchors.verticalCenter: parent.verticalCenter
                spacing: 18

                BrandMark {
                    Layout.alignment: Qt.AlignVCenter
                    agentState: agent.state
                }

                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 2

                    AppText {
                        Layout.fillWidth: true
                        text: agent.statusText
                        font.family: Theme.display
                        font.pixelSize: Theme.title
                        font.weight: Font.DemiBold
                    }
                    AppText {
                        Layout.fillWidth: true
                        text: root.statusDetail()
                        color: Theme.ink2
                        wrapMode: Text.WordWrap
                    }
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: bannerRow.implicitHeight + 20
            visible: root.pendingUpdate !== ""
            color: Theme.warnBg

            RowLayout {
                id: bannerRow
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.leftMargin: 28
                anchors.rightMargin: 28
                anchors.verticalCenter: parent.verticalCenter
                spacing: 16

                AppText {
                    Layout.fillWidth: true
                    wrapMode: Text.WordWrap
                    color: Theme.warn
                    text: qsTr("Доступна версия %1. Агент обновится сам, когда окно закроют или свернут, — это занимает несколько секунд")
                          .arg(root.pendingUpdate.split("-")[0])
                }
                AppButton {
                    text: qsTr("Обновить сейчас")
                    onClicked: root.updateNowRequested()
                }
            }
        }

        Rectangle {
            Layout.fillWidth: true
            implicitHeight: 44
            color: Theme.panel

            Rectangle {
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                height: 1
                color: Theme.line
            }

            Row {
                anchors.left: parent.left
                anchors.leftMargin: 20
                anchors.bottom: parent.bottom
                height: parent.height
                spacing: 4

                Repeater {
                    model: root.hostMode
                           ? [qsTr("Организации"), qsTr("Журнал"), qsTr("Сертификаты"), qsTr("УТМ"),
                              qsTr("VM УТМ")]
                           : [qsTr("Организации"), qsTr("Журнал"), qsTr("Сертификаты"), qsTr("УТМ")]

                    AbstractButton {
                        id: tab

                        required property string modelData
                        required property int index
                        readonly property bool current: pages.currentIndex === index

                        // As wide as the bold label, so the tabs stay put when the current
                        // one turns bold.
                        width: boldLabel.advanceWidth + 16
                        height: parent.height
                        text: modelData
                        focusPolicy: Qt.StrongFocus
                        onClicked: pages.currentIndex = index

                        TextMetrics {
                            id: boldLabel
                            font.family: Theme.family
                            font.pixelSize: Theme.lead
                            font.weight: Font.DemiBold
                            text: tab.text
                        }

                        HoverHandler {
                            cursorShape: Qt.PointingHandCursor
                        }

                        contentItem: Text {
                            text: tab.text
                            textFormat: Text.PlainText
                            horizontalAlignment: Text.AlignHCenter
                            verticalAlignment: Text.AlignVCenter
                            font.family: Theme.family
                            font.pixelSize: Theme.lead
                            font.weight: tab.current ? Font.DemiBold : Font.Normal
                            color: tab.current || tab.hovered ? Theme.ink : Theme.ink2
                        }

                        background: Item {
                            Rectangle {
                                anchors.bottom: parent.bottom
                                anchors.horizontalCenter: parent.horizontalCenter
                                width: parent.width - 8
                                height: 2
                                radius: 1
                                color: Theme.brand
                                visible: tab.current
                            }
                            Rectangle {
                                anchors.fill: parent
                                anchors.margins: 6
                                radius: 6
                                color: "transparent"
                                border.width: 2
                                border.color: Theme.brandText
                                visible: tab.visualFocus
                            }
                        }
                    }
                }
            }
        }

        StackLayout {
            id: pages
            Layout.fillWidth: true
            Layout.fillHeight: true
            Layout.leftMargin: 28
            Layout.rightMargin: 28
            Layout.topMargin: 20
            currentIndex: 0

            OrganizationsPage {}
            JournalPage {}
            CertificatesPage {}
            UtmPage {}
            // The stack sizes only the page shown, yet the host page is kept up to date behind
            // the others: at no width its wrapped texts would lay themselves out without end.
            Loader {
                width: pages.width
                height: pages.height
                active: root.hostMode
                sourceComponent: UtmHostPage {}
            }
        }

        Rectangle {
            id: messageBar

            // The message the user closed; the bar stays hidden until the agent says another.
            property string dismissed: ""

            Layout.fillWidth: true
            Layout.leftMargin: 28
            Layout.rightMargin: 28
            Layout.topMargin: 12
            implicitHeight: messageRow.implicitHeight + 20
            visible: agent.lastMessage !== "" && agent.lastMessage !== dismissed
            radius: 8
            color: Theme.panel
            border.width: 1
            border.color: Theme.line

            RowLayout {
                id: messageRow
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.leftMargin: 14
                anchors.rightMargin: 6
                anchors.verticalCenter: parent.verticalCenter
                spacing: 8

                // Messages may quote paths and addresses, which break where they must rather
                // than run out of the bar.
                AppText {
                    Layout.fillWidth: true
                    wrapMode: Text.Wrap
                    text: agent.lastMessage
                }
                AppButton {
                    kind: "quiet"
                    text: "✕"
                    implicitWidth: 28
                    Accessible.name: qsTr("Скрыть сообщение")
                    onClicked: messageBar.dismissed = agent.lastMessage
                }
            }
        }

        RowLayout {
            Layout.fillWidth: true
            Layout.leftMargin: 24
            Layout.rightMargin: 28
            Layout.topMargin: 10
            Layout.bottomMargin: 14
            spacing: 16

            // Where the footer is short of room, the box's label wraps rather than push the
            // version and the unpair action out of the window. Layouts round widths down: the
            // label needs its width rounded up to stay on one line where there is room.
            AppCheckBox {
                id: autostartBox

                Layout.fillWidth: true
                Layout.maximumWidth: Math.ceil(implicitWidth)
                text: qsTr("Запускать при входе в Windows")
                checked: agent.autostart
                wrapMode: Text.WordWrap
                // The box shows what the agent really did, also when the change failed.
                onToggled: {
                    agent.autostart = checked
                    checked = Qt.binding(function () { return agent.autostart })
                }
            }

            Item {
                Layout.fillWidth: true
            }

            AppText {
                text: qsTr("Версия %1").arg(Qt.application.version)
                color: Theme.ink3
                font.pixelSize: Theme.small
            }

            AppButton {
                kind: "quiet"
                visible: agent.paired
                text: qsTr("Отключить компьютер")
                onClicked: unpairDialog.open()
            }
        }
    }

    ConfirmDialog {
        id: closeDialog
        title: qsTr("Свернуть агента в трей?")
        message: qsTr("Свёрнутый агент продолжит подписывать документы и обновлять вход в Честный знак. Значок — в области уведомлений, под стрелкой «Показать скрытые значки».\n\nПосле выхода подписи остановятся до следующего запуска.")
                 + (root.hostMode ? qsTr(" VM этого компьютера остановятся через несколько секунд после выхода.") : "")
        acceptText: qsTr("Свернуть")
        rejectText: qsTr("Выйти")
        onAcceptClicked: {
            close()
            root.hide()
        }
        onRejectClicked: Qt.quit()
    }

    ConfirmDialog {
        id: unpairDialog
        title: qsTr("Отключить этот компьютер?")
        message: qsTr("Агент забудет регистрацию и перестанет подписывать за все подключённые организации. Вернуть можно подписью или новым кодом из кабинета.")
        acceptText: qsTr("Отключить")
        rejectText: qsTr("Оставить")
        onAcceptClicked: {
            close()
            agent.unpair()
        }
        onRejectClicked: close()
    }
}
