import QtQuick

// A plugin's built-in interface picture: the hub's dark panel style in the product's accent colour, with
// a header, a row of knobs and a pair of level meters. Rendered once per product at build time.
Rectangle {
    id: scene
    property string productName: "Plugin"
    property string category: "Plugin"
    property color accent: "#4FD1C5"
    property int seed: 1
    width: 1200
    height: 600
    color: "#111317"

    function pseudo(index) {
        var x = Math.sin((index + 1) * 12.9898 + seed * 78.233) * 43758.5453
        return x - Math.floor(x)
    }

    Rectangle {
        anchors.fill: parent
        anchors.margins: 18
        radius: 14
        color: "#181B21"
        border.color: "#2C323B"

        // Header bar.
        Rectangle {
            id: header
            x: 0; y: 0
            width: parent.width
            height: 74
            radius: 14
            color: "#1F242B"
            Rectangle { anchors.bottom: parent.bottom; width: parent.width; height: 14; color: parent.color }
            Rectangle { anchors.bottom: parent.bottom; width: parent.width; height: 2; color: scene.accent; opacity: 0.8 }
            Text {
                x: 28
                anchors.verticalCenter: parent.verticalCenter
                text: scene.productName.toUpperCase()
                color: "#ECEEF1"
                font.family: "Roboto Condensed"
                font.weight: Font.Bold
                font.pixelSize: 34
                font.letterSpacing: 2
            }
            Text {
                anchors.right: parent.right
                anchors.rightMargin: 28
                anchors.verticalCenter: parent.verticalCenter
                text: "HALVEX \u00b7 " + scene.category.toUpperCase()
                color: scene.accent
                font.family: "Inter"
                font.weight: Font.DemiBold
                font.pixelSize: 15
                font.letterSpacing: 3
            }
        }

        // Display strip with a response curve.
        Rectangle {
            id: display
            x: 28
            y: header.height + 24
            width: parent.width - 56 - 150
            height: 170
            radius: 10
            color: "#0B0C0F"
            border.color: "#2C323B"
            Canvas {
                anchors.fill: parent
                anchors.margins: 12
                onPaint: {
                    var context = getContext("2d")
                    context.strokeStyle = "rgba(255,255,255,0.06)"
                    context.lineWidth = 1
                    for (var line = 1; line < 8; ++line) {
                        context.beginPath()
                        context.moveTo(width * line / 8, 0)
                        context.lineTo(width * line / 8, height)
                        context.stroke()
                    }
                    for (var row = 1; row < 4; ++row) {
                        context.beginPath()
                        context.moveTo(0, height * row / 4)
                        context.lineTo(width, height * row / 4)
                        context.stroke()
                    }
                    context.strokeStyle = scene.accent
                    context.lineWidth = 3
                    context.beginPath()
                    for (var x = 0; x <= width; x += 4) {
                        var t = x / width
                        var y = height * (0.55 - 0.22 * Math.sin(t * Math.PI * (1.5 + scene.pseudo(1)) + scene.pseudo(2) * 3)
                                          * Math.exp(-t * scene.pseudo(3) * 1.5))
                        if (x === 0) context.moveTo(x, y); else context.lineTo(x, y)
                    }
                    context.stroke()
                    context.globalAlpha = 0.12
                    context.lineTo(width, height)
                    context.lineTo(0, height)
                    context.closePath()
                    context.fillStyle = scene.accent
                    context.fill()
                }
            }
        }

        // Level meters.
        Row {
            x: display.x + display.width + 24
            y: display.y
            height: display.height + 230
            spacing: 18
            Repeater {
                model: 2
                Rectangle {
                    required property int index
                    width: 40
                    height: parent.height
                    radius: 6
                    color: "#0B0C0F"
                    border.color: "#2C323B"
                    Column {
                        anchors.bottom: parent.bottom
                        anchors.bottomMargin: 8
                        anchors.horizontalCenter: parent.horizontalCenter
                        spacing: 3
                        Repeater {
                            model: 30
                            Rectangle {
                                required property int index
                                readonly property int level: 30 - index
                                readonly property bool lit: level <= 14 + Math.round(scene.pseudo(parent.parent.index + 7) * 10)
                                width: 24
                                height: 9
                                radius: 2
                                color: level > 26 ? "#F27474" : (level > 21 ? "#F2B450" : scene.accent)
                                opacity: lit ? 0.95 : 0.12
                            }
                        }
                    }
                }
            }
        }

        // Knobs.
        Row {
            x: 28
            y: display.y + display.height + 36
            spacing: 34
            Repeater {
                model: ["INPUT", "DRIVE", "TONE", "MIX", "OUTPUT"]
                Column {
                    required property string modelData
                    required property int index
                    spacing: 12
                    Canvas {
                        width: 150
                        height: 150
                        readonly property real value: 0.2 + scene.pseudo(index + 11) * 0.7
                        onPaint: {
                            var context = getContext("2d")
                            var cx = width / 2, cy = height / 2, r = width / 2 - 10
                            var start = Math.PI * 0.75, sweep = Math.PI * 1.5
                            context.lineCap = "round"
                            context.lineWidth = 8
                            context.strokeStyle = "#2C323B"
                            context.beginPath(); context.arc(cx, cy, r, start, start + sweep); context.stroke()
                            context.strokeStyle = scene.accent
                            context.beginPath(); context.arc(cx, cy, r, start, start + sweep * value); context.stroke()
                            context.fillStyle = "#242A32"
                            context.beginPath(); context.arc(cx, cy, r - 18, 0, Math.PI * 2); context.fill()
                            context.strokeStyle = "#3A414C"
                            context.lineWidth = 2
                            context.beginPath(); context.arc(cx, cy, r - 18, 0, Math.PI * 2); context.stroke()
                            var angle = start + sweep * value
                            context.strokeStyle = "#ECEEF1"
                            context.lineWidth = 5
                            context.beginPath()
                            context.moveTo(cx + Math.cos(angle) * (r - 48), cy + Math.sin(angle) * (r - 48))
                            context.lineTo(cx + Math.cos(angle) * (r - 24), cy + Math.sin(angle) * (r - 24))
                            context.stroke()
                        }
                    }
                    Text {
                        anchors.horizontalCenter: parent.horizontalCenter
                        text: modelData
                        color: "#949BA6"
                        font.family: "Inter"
                        font.weight: Font.DemiBold
                        font.pixelSize: 14
                        font.letterSpacing: 3
                    }
                }
            }
        }
    }
}
