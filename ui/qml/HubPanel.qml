import QtQuick

// The rounded background of every card.
Rectangle {
    property bool emphasised: false
    radius: HubTheme.radius
    color: emphasised ? HubTheme.raised : HubTheme.panel
    border.color: HubTheme.edge
    border.width: 1
}
