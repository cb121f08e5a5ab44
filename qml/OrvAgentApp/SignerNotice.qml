import QtQuick
import QtQuick.Layouts

// Stands in a list in place of certificates when the PC lacks the CryptoPro CSP or its
// CAdESCOM plug-in, so that the user does not look for the fault in the key carrier.
PanelRow {
    id: notice

    readonly property string vendorSite: "https://www.cryptopro.ru"

    visible: agent.signerMissing !== ""

    ColumnLayout {
        Layout.fillWidth: true
        spacing: 10

        AppText {
            Layout.fillWidth: true
            wrapMode: Text.WordWrap
            color: Theme.warn
            text: agent.signerMissingText
        }

        // Where the three buttons do not fit side by side, they wrap. The width the flow asks
        // for follows the width it gets, so the layout is told to ignore it.
        Flow {
            Layout.fillWidth: true
            Layout.preferredWidth: 0
            spacing: 8

            AppButton {
                kind: "primary"
                visible: agent.signerMissing === "cryptopro"
                text: qsTr("Скачать КриптоПро CSP")
                onClicked: Qt.openUrlExternally(notice.vendorSite + "/products/csp/downloads")
            }
            AppButton {
                kind: agent.signerMissing === "plugin" ? "primary" : "secondary"
                text: qsTr("Скачать плагин")
                onClicked: Qt.openUrlExternally(notice.vendorSite + "/products/cades/plugin")
            }
            AppButton {
                text: qsTr("Проверить снова")
                onClicked: agent.refreshCertificates()
            }
        }
    }
}
