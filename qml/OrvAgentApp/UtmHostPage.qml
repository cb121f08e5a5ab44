import QtQuick
import QtQuick.Controls.Basic
import QtQuick.Layouts
import QtQuick.Templates as T

// Fifth tab, in host mode only: the УТМ this computer runs itself, one VM each. It answers first
// whether the machine has room for one more VM, then how far the set-up is, then what each VM
// and each USB token is doing. Everything follows `utmHost`; outcomes of the operations reach
// the window's message line, not this page.
PageView {
    id: page

    readonly property var res: utmHost.resources
    readonly property bool running: utmHost.phase === "running"
    // The VM of the last dialog opened from a row: the dialogs' titles and actions concern it.
    property int target: 0
    property bool testVm: false
    property string testInn: ""

    function percent(share) {
        return share < 0 ? "—" : qsTr("%1 %").arg(Math.round(share * 100))
    }

    function healthTone(health) {
        return health === "running" ? "ok"
             : health === "starting" || health === "notoken" ? "warn"
             : health === "failing" ? "err"
             : "off"
    }

    function healthText(health) {
        return health === "running" ? qsTr("Работает")
             : health === "starting" ? qsTr("Запускается")
             : health === "notoken" ? qsTr("Нет носителя")
             : health === "failing" ? qsTr("Сбой")
             : qsTr("Остановлена")
    }

    // Ownership comes first: a token another VM holds says so even while it is pulled out.
    function tokenState(token) {
        if (token.owner > 0)
            return { "tone": "ok", "text": qsTr("У VM %1").arg(token.owner) }
        if (!token.present)
            return { "tone": "off", "text": qsTr("Не вставлен") }
        if (token.attached)
            return { "tone": "warn", "text": qsTr("Передан в VM") }
        return { "tone": "off", "text": qsTr("Свободен") }
    }

    // An empty name goes to the host as it is: the host names the VM itself then.
    function create() {
        if (testVm)
            utmHost.createTestVm(nameField.text, testInn)
        else
            utmHost.createVm(nameField.text)
        nameField.clear()
    }

    // Names, serials and INNs come from outside: each is put in with its own single placeholder,
    // so that a "%2" inside one of them is never filled with another value.
    function organizationLine(vm) {
        if (vm.inn === "")
            return qsTr("Организация станет известна, когда УТМ ответит")
        if (vm.organization !== "")
            return vm.organization + qsTr(", ИНН %1").arg(vm.inn)
        return qsTr("ИНН %1 — организация не подключена к этому компьютеру").arg(vm.inn)
    }

    function vmDetails(vm) {
        return [qsTr("VM %1").arg(vm.number), vm.endpoint,
                vm.fsrarId !== "" ? qsTr("FSRAR_ID %1").arg(vm.fsrarId) : "", vm.memory,
                vm.restarts > 0 ? qsTr("перезапусков: %1").arg(vm.restarts) : ""]
            .filter(part => part !== "").join(", ")
    }

    function tokenLine(vm) {
        if (vm.test)
            return qsTr("Тестовый УТМ: мок без носителя и без ЕГАИС")
        if (vm.tokenSerial !== "") {
            const name = vm.tokenName !== "" ? ", " + vm.tokenName : ""
            return qsTr("Носитель %1").arg(vm.tokenSerial + name)
        }
        return qsTr("Носитель не передан — без него УТМ не запустится")
    }

    function serialLine(token, missing) {
        return [token.hardwareId,
                token.serial !== "" ? qsTr("серийный %1").arg(token.serial) : missing]
            .filter(part => part !== "").join(" · ")
    }

    ColumnLayout {
        width: page.availableWidth
        spacing: 0

        Rectangle {
            objectName: "machineStrip"
            Layout.fillWidth: true
            Layout.bottomMargin: page.res.more > 0 ? 16 : 6
            implicitHeight: strip.implicitHeight + 20
            radius: 8
            color: Theme.panel
            border.width: 1
            border.color: Theme.line

            // Where the count leaves the meters too little room for their values (in the
            // window's smallest size), it moves under them.
            GridLayout {
                id: strip

                readonly property bool narrow:
                    (width - capacity.implicitWidth - 3 * columnSpacing) / 3 < 100

                anchors.left: parent.left
                anchors.right: parent.right
                anchors.leftMargin: 16
                anchors.rightMargin: 16
                anchors.verticalCenter: parent.verticalCenter
                columns: narrow ? 3 : 4
                columnSpacing: 20
                rowSpacing: 8

                HostMeter {
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    label: qsTr("Процессор")
                    value: page.percent(page.res.cpuLoad)
                    share: page.res.cpuLoad
                }
                HostMeter {
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    label: qsTr("Память")
                    value: qsTr("%1 из %2").arg(page.res.memoryUsed).arg(page.res.memoryTotal)
                    share: page.res.memoryShare
                }
                HostMeter {
                    Layout.fillWidth: true
                    Layout.preferredWidth: 1
                    label: qsTr("Под VM")
                    value: page.res.distroRunning
                           ? qsTr("%1 из %2").arg(page.res.wslUsed).arg(page.res.wslTotal)
                           : qsTr("до %1").arg(page.res.wslTotal)
                    share: page.res.wslShare
                }
                AppText {
                    id: capacity
                    Layout.alignment: Qt.AlignVCenter
                    Layout.columnSpan: strip.narrow ? 3 : 1
                    text: page.res.more > 0 ? qsTr("Ещё %1 VM").arg(page.res.more)
                                            : qsTr("Новую VM не запустить")
                    font.family: Theme.display
                    font.pixelSize: Theme.heading + 2
                    font.weight: Font.DemiBold
                    color: page.res.more > 0 ? Theme.ink : Theme.err

                    HoverHandler {
                        id: capacityHover
                    }

                    ToolTip {
                        visible: capacityHover.hovered
                        delay: 300
                        text: page.res.capacityText
                        contentItem: AppText {
                            text: page.res.capacityText
                            wrapMode: Text.WordWrap
                        }
                        background: Rectangle {
                            radius: 6
                            color: Theme.panel
                            border.width: 1
                            border.color: Theme.line
                        }
                    }
                }
            }
        }

        // While more VMs fit, the reason is the count's tooltip; when none does, it is spelled out.
        AppText {
            Layout.fillWidth: true
            Layout.bottomMargin: 16
            visible: page.res.more === 0
            wrapMode: Text.WordWrap
            color: Theme.ink2
            font.pixelSize: Theme.small
            text: page.res.capacityText
        }

        ListPanel {
            objectName: "setupPanel"
            Layout.fillWidth: true
            Layout.bottomMargin: 20
            visible: utmHost.setupNeeded || utmHost.rebootPending || utmHost.installStep !== ""
                     || ["error", "checking", "starting"].indexOf(utmHost.phase) >= 0

            PanelRow {
                first: true

                ColumnLayout {
                    Layout.fillWidth: true
                    spacing: 2

                    AppText {
                        Layout.fillWidth: true
                        wrapMode: Text.WordWrap
                        font.pixelSize: Theme.lead
                        font.weight: Font.DemiBold
                        text: utmHost.installStep !== "" ? utmHost.installStep
                            : utmHost.rebootPending ? qsTr("Перезагрузите компьютер")
                            : utmHost.phase === "checking" ? qsTr("Проверяем компьютер")
                            : utmHost.phase === "starting" ? qsTr("VM запускаются")
                            : utmHost.phase === "error" ? qsTr("VM не отвечают")
                            : qsTr("Компьютер не настроен для VM")
                    }
                    AppText {
                        Layout.fillWidth: true
                        visible: text !== ""
                        wrapMode: Text.WordWrap
                        color: utmHost.phase === "error" ? Theme.err : Theme.ink2
                        text: utmHost.installStep !== ""
                              ? (utmHost.installProgress >= 0
                                 ? page.percent(utmHost.installProgress) : "")
                              : utmHost.phase === "error" ? utmHost.problem
                              : utmHost.setupNeedsAdmin
                              ? qsTr("%1. Windows один раз спросит разрешение администратора")
                                .arg(utmHost.setupReason)
                              : utmHost.setupReason
                    }
                    Rectangle {
                        objectName: "progressTrack"
                        Layout.fillWidth: true
                        Layout.topMargin: 6
                        implicitHeight: 4
                        radius: 2
                        color: Theme.line
                        visible: utmHost.installStep !== "" && utmHost.installProgress >= 0

                        // A progress past 1 still stops at the track's end.
                        Rectangle {
                            objectName: "progressFill"
                            height: parent.height
                            radius: parent.radius
                            width: parent.width * Math.min(Math.max(0, utmHost.installProgress), 1)
                            color: Theme.brand
                        }
                    }
                }
                // One button sets up everything: Windows components, the token driver and the
                // УТМ payload are one operation of the host.
                AppButton {
                    Layout.alignment: Qt.AlignTop
                    kind: "primary"
                    visible: utmHost.setupNeeded && !utmHost.rebootPending && !utmHost.busy
                    text: qsTr("Настроить компьютер")
                    onClicked: utmHost.setup()
                }
                AppButton {
                    Layout.alignment: Qt.AlignTop
                    visible: utmHost.phase === "error" && !utmHost.busy
                    text: qsTr("Проверить снова")
                    onClicked: utmHost.refresh()
                }
            }
        }

        AppText {
            Layout.fillWidth: true
            Layout.bottomMargin: 12
            visible: page.running && utmHost.vms.length === 0 && !utmHost.setupNeeded
            wrapMode: Text.WordWrap
            color: Theme.ink2
            text: qsTr("VM — отдельный УТМ со своим носителем, обычно своей организации. Создаётся без выхода в сеть: пока ключ работает в другом УТМ, второй с тем же ключом увёл бы входящие документы.")
        }

        ListPanel {
            objectName: "vmList"
            Layout.fillWidth: true
            Layout.bottomMargin: 12
            visible: page.running && utmHost.vms.length > 0

            Repeater {
                model: utmHost.vms

                PanelRow {
                    id: vmRow

                    required property var modelData
                    required property int index
                    readonly property int number: modelData.number

                    first: index === 0

                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2

                        AppText {
                            Layout.fillWidth: true
                            font.pixelSize: Theme.lead
                            elide: Text.ElideRight
                            text: vmRow.modelData.name
                        }
                        AppText {
                            Layout.fillWidth: true
                            elide: Text.ElideRight
                            color: vmRow.modelData.inn !== "" ? Theme.ink : Theme.ink3
                            text: page.organizationLine(vmRow.modelData)
                        }
                        AppText {
                            Layout.fillWidth: true
                            wrapMode: Text.WordWrap
                            color: Theme.ink2
                            text: page.vmDetails(vmRow.modelData)
                        }
                        AppText {
                            Layout.fillWidth: true
                            wrapMode: Text.WordWrap
                            color: Theme.ink2
                            text: page.tokenLine(vmRow.modelData)
                        }
                        AppText {
                            Layout.fillWidth: true
                            Layout.topMargin: 2
                            visible: vmRow.modelData.tokenProblem !== ""
                            wrapMode: Text.WordWrap
                            color: Theme.err
                            text: vmRow.modelData.tokenProblem
                        }
                        Flow {
                            Layout.fillWidth: true
                            Layout.topMargin: 6
                            spacing: 14

                            AppButton {
                                kind: "quiet"
                                enabled: !utmHost.busy
                                text: vmRow.modelData.enabled ? qsTr("Остановить")
                                                              : qsTr("Запустить")
                                onClicked: vmRow.modelData.enabled ? utmHost.stopVm(vmRow.number)
                                                                   : utmHost.startVm(vmRow.number)
                            }
                            AppButton {
                                kind: "quiet"
                                text: qsTr("Журнал")
                                onClicked: {
                                    logDialog.number = vmRow.number
                                    utmHost.loadLogs(vmRow.number)
                                    logDialog.open()
                                }
                            }
                            AppButton {
                                kind: "quiet"
                                visible: !vmRow.modelData.test
                                enabled: !utmHost.busy
                                text: qsTr("Носитель")
                                onClicked: {
                                    page.target = vmRow.number
                                    tokenDialog.open()
                                }
                            }
                            // A real VM goes online only after the user confirms that its key
                            // works nowhere else; a test VM and going offline need no question.
                            AppButton {
                                kind: "quiet"
                                enabled: !utmHost.busy
                                text: vmRow.modelData.online ? qsTr("Отключить от сети")
                                                             : qsTr("Выпустить в сеть")
                                onClicked: {
                                    page.target = vmRow.number
                                    if (vmRow.modelData.online || vmRow.modelData.test)
                                        utmHost.setOnline(vmRow.number, !vmRow.modelData.online)
                                    else
                                        onlineDialog.open()
                                }
                            }
                            AppButton {
                                kind: "quiet"
                                visible: vmRow.modelData.online
                                         && vmRow.modelData.health === "running"
                                text: qsTr("Открыть УТМ")
                                onClicked: utmHost.openUtm(vmRow.number)
                            }
                            AppButton {
                                kind: "quiet"
                                enabled: !utmHost.busy
                                text: qsTr("Удалить")
                                onClicked: {
                                    page.target = vmRow.number
                                    removeDialog.open()
                                }
                            }
                        }
                    }
                    ColumnLayout {
                        Layout.alignment: Qt.AlignTop
                        spacing: 6

                        Chip {
                            Layout.alignment: Qt.AlignRight
                            tone: page.healthTone(vmRow.modelData.health)
                            text: page.healthText(vmRow.modelData.health)
                        }
                        Chip {
                            Layout.alignment: Qt.AlignRight
                            tone: vmRow.modelData.online ? "ok" : "off"
                            text: vmRow.modelData.online ? qsTr("В сети") : qsTr("Без сети")
                        }
                        Chip {
                            Layout.alignment: Qt.AlignRight
                            visible: vmRow.modelData.test
                            tone: "warn"
                            text: qsTr("Тестовая")
                        }
                    }
                }
            }
        }

        // No VM can be made before the УТМ image is there.
        ColumnLayout {
            objectName: "createBlock"
            Layout.fillWidth: true
            Layout.bottomMargin: 24
            visible: page.running && utmHost.image !== ""
            spacing: 8

            RowLayout {
                Layout.fillWidth: true
                spacing: 8

                // Enter creates whatever the host's state: the host itself refuses while busy
                // or full, and says so in the message line.
                AppTextField {
                    id: nameField
                    Layout.fillWidth: true
                    placeholderText: page.testVm ? qsTr("Название тестовой VM")
                                                 : qsTr("Название VM, например «Бар на Ленина»")
                    onAccepted: page.create()
                }
                AppButton {
                    kind: utmHost.vms.length === 0 && !utmHost.setupNeeded ? "primary" : "secondary"
                    enabled: !utmHost.busy && page.res.more > 0
                    text: page.testVm ? qsTr("Создать тестовую VM") : qsTr("Создать VM")
                    onClicked: page.create()
                }
            }

            AppCheckBox {
                id: testBox
                Layout.fillWidth: true
                leftPadding: 0
                textColor: Theme.ink2
                wrapMode: Text.WordWrap
                checked: page.testVm
                onToggled: page.testVm = checked
                text: qsTr("Тестовая — мок УТМ без носителя и без ЕГАИС, FSRAR_ID 9999…")
            }

            // The mock УТМ gives this INN out, and the service binds the УТМ to the
            // organisation with it: only this computer's organisations are offered.
            Flow {
                Layout.fillWidth: true
                visible: page.testVm
                spacing: 8

                AppText {
                    height: 32
                    verticalAlignment: Text.AlignVCenter
                    color: Theme.ink2
                    text: qsTr("Организация:")
                }
                Repeater {
                    model: agent.organizations

                    AppButton {
                        required property var modelData

                        text: (page.testInn === modelData.inn ? "✓ " : "") + modelData.name
                        onClicked: page.testInn = modelData.inn
                    }
                }
                AppButton {
                    text: (page.testInn === "" ? "✓ " : "") + qsTr("Без ИНН")
                    onClicked: page.testInn = ""
                }
            }
        }

        AppText {
            Layout.bottomMargin: 8
            visible: utmHost.tokens.length > 0
            font.pixelSize: Theme.heading
            font.weight: Font.DemiBold
            text: qsTr("Носители")
        }

        ListPanel {
            objectName: "tokenList"
            Layout.fillWidth: true
            Layout.bottomMargin: 16
            visible: utmHost.tokens.length > 0

            Repeater {
                model: utmHost.tokens

                PanelRow {
                    id: tokenRow

                    required property var modelData
                    required property int index
                    readonly property var chip: page.tokenState(modelData)

                    first: index === 0

                    ColumnLayout {
                        Layout.fillWidth: true
                        spacing: 2

                        AppText {
                            Layout.fillWidth: true
                            elide: Text.ElideRight
                            text: tokenRow.modelData.description
                        }
                        // VID:PID tells a token from a card reader on a screenshot.
                        AppText {
                            Layout.fillWidth: true
                            wrapMode: Text.WordWrap
                            color: tokenRow.modelData.serial !== "" ? Theme.ink2 : Theme.warn
                            text: page.serialLine(tokenRow.modelData,
                                                  qsTr("нет серийного номера — VM его не закрепить"))
                        }
                    }
                    Chip {
                        Layout.alignment: Qt.AlignTop
                        tone: tokenRow.chip.tone
                        text: tokenRow.chip.text
                    }
                }
            }
        }

        RowLayout {
            objectName: "serviceRow"
            Layout.fillWidth: true
            Layout.bottomMargin: 8
            visible: page.running
            spacing: 16

            AppText {
                Layout.fillWidth: true
                color: Theme.ink3
                font.pixelSize: Theme.small
                text: utmHost.image !== "" ? qsTr("УТМ %1").arg(utmHost.image) : ""
            }
            AppButton {
                kind: "quiet"
                visible: utmHost.image !== "" && !utmHost.busy
                text: qsTr("Обновить УТМ")
                onClicked: utmHost.updateImage()
            }
            AppButton {
                kind: "quiet"
                visible: !utmHost.busy
                text: qsTr("Удалить все VM")
                onClicked: removeAllDialog.open()
            }
        }
    }

    LogDialog {
        id: logDialog
    }

    AppDialog {
        id: tokenDialog

        readonly property var current: {
            const vms = utmHost.vms
            for (let i = 0; i < vms.length; ++i) {
                if (vms[i].number === page.target)
                    return vms[i]
            }
            return null
        }
        readonly property int choices: utmHost.tokens.filter(t => offered(t)).length
        // A choice with nothing to offer always says why.
        readonly property string emptyText: {
            if (!utmHost.usbipdFound)
                return qsTr("Компьютер ещё не настроен для передачи носителей — нажмите «Настроить компьютер».")
            const present = utmHost.tokens.filter(t => t.present)
            if (present.length === 0)
                return qsTr("Носителей не видно. Вставьте Рутокен, JaCarta или ESMART — список обновится сам.")
            if (present.every(t => t.serial === ""))
                return qsTr("Вставленные носители не сообщают серийный номер, а VM закрепляет носитель по нему. Передать такой носитель VM пока нельзя.")
            return qsTr("Все носители с серийным номером уже у других VM.")
        }

        // Plugged in, with a serial to pin it by, and not another VM's.
        function offered(token) {
            return token.present && token.serial !== ""
                   && (token.owner === 0 || token.owner === page.target)
        }

        parent: T.Overlay.overlay
        width: 480
        padding: 24
        topPadding: 12
        title: qsTr("Носитель VM %1").arg(page.target)

        contentItem: ColumnLayout {
            spacing: 12

            AppText {
                Layout.fillWidth: true
                visible: tokenDialog.choices > 0
                wrapMode: Text.WordWrap
                color: Theme.ink2
                text: qsTr("Если носитель сейчас работает в УТМ на Windows, сначала остановите тот УТМ: вынимать ключ из работающего УТМ технические требования запрещают (стр. 153).")
            }
            // The rows change with every refresh, the dialog shut too: they lie in a positioner,
            // which Qt 6.4's layouts do not arrange after deleting them (see ListPanel).
            Column {
                Layout.fillWidth: true
                visible: tokenDialog.choices > 0
                spacing: 12

                Repeater {
                    model: utmHost.tokens

                    RowLayout {
                        id: choice

                        required property var modelData

                        width: parent ? parent.width : 0
                        visible: tokenDialog.offered(modelData)
                        spacing: 12

                        ColumnLayout {
                            Layout.fillWidth: true
                            spacing: 2

                            AppText {
                                Layout.fillWidth: true
                                elide: Text.ElideRight
                                text: choice.modelData.description
                            }
                            AppText {
                                Layout.fillWidth: true
                                wrapMode: Text.WordWrap
                                color: Theme.ink2
                                font.pixelSize: Theme.small
                                text: page.serialLine(choice.modelData, "")
                            }
                        }
                        AppButton {
                            visible: choice.modelData.owner === 0
                            text: qsTr("Передать")
                            onClicked: {
                                tokenDialog.close()
                                utmHost.assignToken(page.target, choice.modelData.busId)
                            }
                        }
                        AppText {
                            visible: choice.modelData.owner !== 0
                                 && choice.modelData.owner === page.target
                            color: Theme.ok
                            text: qsTr("У этой VM")
                        }
                    }
                }
            }
            AppText {
                Layout.fillWidth: true
                visible: tokenDialog.choices === 0
                wrapMode: Text.WordWrap
                color: Theme.ink2
                text: tokenDialog.emptyText
            }
        }

        buttons: [
            AppButton {
                visible: tokenDialog.current !== null && tokenDialog.current.tokenSerial !== ""
                text: qsTr("Отключить носитель")
                onClicked: {
                    tokenDialog.close()
                    utmHost.releaseToken(page.target)
                }
            },
            AppButton {
                kind: "primary"
                text: qsTr("Закрыть")
                onClicked: tokenDialog.close()
            }
        ]
    }

    ConfirmDialog {
        id: onlineDialog
        parent: T.Overlay.overlay
        title: qsTr("VM %1 теперь работает здесь?").arg(page.target)
        message: qsTr("УТМ этой VM выйдет в интернет и начнёт забирать входящие документы своего FSRAR_ID из ЕГАИС.")
                 + "\n\n"
                 + qsTr("Если этот ключ ещё работает в УТМ на другом компьютере, сначала остановите тот УТМ: два УТМ с одним ключом делят входящие, и часть документов не дойдёт ни до одного учёта.")
        acceptText: qsTr("Выпустить в сеть")
        rejectText: qsTr("Оставить без сети")
        onAcceptClicked: {
            close()
            utmHost.setOnline(page.target, true)
        }
        onRejectClicked: close()
    }

    ConfirmDialog {
        id: removeDialog
        parent: T.Overlay.overlay
        title: qsTr("Удалить VM %1?").arg(page.target)
        message: qsTr("База УТМ удаляется вместе с VM: документы, которые УТМ ещё не отправил в ЕГАИС, пропадут.")
        acceptText: qsTr("Удалить")
        rejectText: qsTr("Оставить")
        onAcceptClicked: {
            close()
            utmHost.removeVm(page.target)
        }
        onRejectClicked: close()
    }

    ConfirmDialog {
        id: removeAllDialog
        parent: T.Overlay.overlay
        title: qsTr("Удалить все VM?")
        message: qsTr("Все VM этого компьютера удаляются вместе с базами УТМ. Агент перестанет получать задачи по их УТМ.")
        acceptText: qsTr("Удалить все")
        rejectText: qsTr("Оставить")
        onAcceptClicked: {
            close()
            utmHost.removeHost()
        }
        onRejectClicked: close()
    }
}
