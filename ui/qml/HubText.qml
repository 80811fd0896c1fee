import QtQuick

// Text as the hub sets it: plain text only (names and messages come from the service), readable by
// screen readers under its own words.
Text {
    color: HubTheme.ink
    font.family: HubTheme.textFamily
    font.pixelSize: 13
    textFormat: Text.PlainText
    wrapMode: Text.Wrap
    Accessible.role: Accessible.StaticText
    Accessible.name: text
}
