import QtQuick

// One symbol of the icon font. Decorative: the control or text beside it carries the accessible name.
Text {
    property string name
    property int size: 18
    text: HubTheme.symbol(name)
    font.family: HubTheme.iconFamily
    font.pixelSize: size
    color: HubTheme.ink
    textFormat: Text.PlainText
    verticalAlignment: Text.AlignVCenter
    horizontalAlignment: Text.AlignHCenter
    Accessible.ignored: true
}
