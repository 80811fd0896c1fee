import QtQuick
import QtQuick.Controls

// The hub's tooltip: the style's look with a plain-text label. A tooltip can name a product, and the
// style's own label would take markup in a name for rich text and fetch any image it names.
ToolTip {
    id: tip
    objectName: "toolTip"
    delay: 600
    contentItem: Text {
        text: tip.text
        font: tip.font
        wrapMode: Text.Wrap
        color: tip.palette.toolTipText
        textFormat: Text.PlainText
    }
}
