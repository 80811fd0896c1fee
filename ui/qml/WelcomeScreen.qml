import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// Shown while there is no catalogue: the title, then what the model's phase asks of the user.
Rectangle {
    id: screen
    color: HubTheme.shell

    readonly property string phase: library.phase
    readonly property string step: phase === "loading" ? "loading"
                                  : phase === "authorizing" ? "authorizing"
                                  : phase === "blocked" ? "blocked" : "signIn"

    // A quiet backdrop: concentric rings in the signal colour, like a speaker cone seen from the front.
    Repeater {
        model: 4
        Rectangle {
            required property int index
            width: 420 + index * 220
            height: width
            radius: width / 2
            anchors.centerIn: parent
            color: "transparent"
            border.color: HubTheme.signal
            border.width: 1
            opacity: 0.07 - index * 0.012
        }
    }

    ColumnLayout {
        anchors.centerIn: parent
        width: Math.min(parent.width - 80, 520)
        spacing: 10

        HubText {
            objectName: "appTitle"
            text: "HALVEX HUB"
            font.family: HubTheme.titleFamily
            font.weight: Font.Bold
            font.pixelSize: 46
            font.letterSpacing: 1
            Layout.alignment: Qt.AlignHCenter
            horizontalAlignment: Text.AlignHCenter
        }
        HubText {
            text: "INSTALL. ACTIVATE. STAY UPDATED."
            color: HubTheme.signal
            font.pixelSize: 12
            font.weight: Font.DemiBold
            font.letterSpacing: 3
            Layout.alignment: Qt.AlignHCenter
            Layout.bottomMargin: 28
        }

        HubText {
            id: heading
            objectName: "welcomeTitle"
            text: screen.step === "loading" ? "Welcome to your HUB."
                  : screen.step === "authorizing" ? "Continue in your browser."
                  : screen.step === "blocked" ? "Let\u2019s get you connected."
                  : "Your plugins start here."
            font.pixelSize: 30
            font.weight: Font.Bold
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
            Accessible.role: Accessible.Heading
        }

        // loading
        Row {
            visible: screen.step === "loading"
            spacing: 10
            Layout.alignment: Qt.AlignHCenter
            BusyIndicator { running: parent.visible; width: 22; height: 22; Accessible.name: "Checking your account…" }
            HubText { text: "Checking your account…"; color: HubTheme.muted; anchors.verticalCenter: parent.verticalCenter }
        }

        // authorizing
        HubText {
            visible: screen.step === "authorizing"
            text: "Finish logging in or creating your account. Your plugin library will open here automatically."
            color: HubTheme.muted
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        Row {
            visible: screen.step === "authorizing"
            spacing: 6
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 6
            HubText { text: "Activation code: "; color: HubTheme.muted; anchors.verticalCenter: parent.verticalCenter }
            TextEdit {
                objectName: "activationCode"
                text: screen.step === "authorizing" ? library.phasePayload : ""
                readOnly: true
                selectByMouse: true
                textFormat: TextEdit.PlainText
                color: HubTheme.ink
                font.family: HubTheme.monoFamily
                font.pixelSize: 20
                font.weight: Font.Bold
                font.letterSpacing: 2
                Accessible.role: Accessible.StaticText
                Accessible.name: "Activation code: " + text
            }
        }
        Row {
            visible: screen.step === "authorizing"
            spacing: 10
            Layout.alignment: Qt.AlignHCenter
            BusyIndicator { running: parent.visible; width: 22; height: 22; Accessible.name: "Waiting for sign-in…" }
            HubText { text: "Waiting for sign-in…"; color: HubTheme.muted; anchors.verticalCenter: parent.verticalCenter }
        }
        HubButton {
            visible: screen.step === "authorizing"
            text: "Open Browser Again"
            Layout.alignment: Qt.AlignHCenter
            onClicked: hub.openSignInURL()
        }

        // blocked
        HubText {
            visible: screen.step === "blocked"
            text: screen.step === "blocked" ? library.phasePayload : ""
            color: HubTheme.muted
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        HubButton {
            visible: screen.step === "blocked"
            text: "Try Again"
            Layout.alignment: Qt.AlignHCenter
            onClicked: hub.refreshAll()
        }

        // sign in
        HubText {
            visible: screen.step === "signIn"
            text: "Log in to install and activate your plugins,\nexplore the catalog, and keep everything up to date."
            color: HubTheme.muted
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        HubButton {
            objectName: "signInButton"
            visible: screen.step === "signIn"
            prominent: true
            text: hub.signingIn ? "Opening sign-in…" : "Log In or Sign Up"
            iconName: "arrow.up.right"
            enabled: !hub.signingIn && !hub.busy
            Layout.alignment: Qt.AlignHCenter
            Layout.topMargin: 10
            onClicked: hub.signIn()
        }
        HubText {
            objectName: "welcomeError"
            visible: screen.step === "signIn" && text.length > 0
            text: hub.errorMessage
            color: HubTheme.error
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        HubText {
            visible: screen.step === "signIn"
            text: "Opens securely in your browser.\nAlready purchased? Use your checkout email."
            color: HubTheme.muted
            font.pixelSize: 12
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
            Layout.topMargin: 4
        }
    }
}
