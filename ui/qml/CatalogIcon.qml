import QtQuick

// A catalogue icon in a rounded square: the "photo" placeholder until the image has loaded (only https
// addresses ever load; see CatalogArtwork).
Rectangle {
    id: icon
    property string url
    property int size: 44
    readonly property bool loaded: image.status === Image.Ready
    width: size
    height: size
    radius: Math.round(size * 0.22)
    color: HubTheme.raised
    border.color: HubTheme.edge
    clip: true
    Accessible.ignored: true

    HubIcon {
        objectName: "placeholder"
        anchors.centerIn: parent
        name: "photo"
        size: Math.round(icon.size * 0.45)
        color: HubTheme.muted
        visible: !icon.loaded
    }
    Image {
        id: image
        objectName: "iconImage"
        anchors.fill: parent
        anchors.margins: 1
        fillMode: Image.PreserveAspectFit
        asynchronous: true
        cache: false
        smooth: true
        sourceSize: Qt.size(icon.size * 2, icon.size * 2)
        source: icon.url.length > 0 ? "image://artwork/icon/" + encodeURIComponent(icon.url) : ""
        visible: icon.loaded
    }
}
