pragma Singleton
import QtQuick

// The hub's colours, type and symbols. Symbol names follow the system symbol names the design uses; each
// maps to one glyph of the Material Icons font.
QtObject {
    readonly property color shell: "#0D0F12"
    readonly property color panel: "#15181D"
    readonly property color raised: "#1D2127"
    readonly property color recess: "#090A0C"
    readonly property color edge: "#2A3038"
    readonly property color ink: "#ECEEF1"
    readonly property color muted: "#949BA6"
    readonly property color signal: "#4FD1C5"
    readonly property color warning: "#F2B450"
    readonly property color error: "#F27474"
    readonly property color signalInk: "#06201D"

    readonly property string titleFamily: "Roboto Condensed"
    readonly property string textFamily: "Inter"
    readonly property string monoFamily: "Liberation Mono"
    readonly property string iconFamily: "Material Icons"

    readonly property int radius: 10
    readonly property int spacing: 12

    readonly property var symbols: ({
        "magnifyingglass": "\ue8b6",
        "checkmark.circle.fill": "\ue86c",
        "exclamationmark.circle": "\ue001",
        "exclamationmark.triangle": "\ue002",
        "exclamationmark.triangle.fill": "\ue002",
        "arrow.up.right": "\uf1e1",
        "internaldrive": "\ue1db",
        "safari": "\ue87a",
        "square.stack.3d.up": "\ue53b",
        "xmark.circle.fill": "\ue5c9",
        "xmark": "\ue5cd",
        "arrow.down.app": "\ue8d7",
        "wrench.and.screwdriver": "\ue869",
        "chevron.right": "\ue5cc",
        "photo": "\ue410",
        "square.grid.2x2": "\ue5c3",
        "person.badge.key": "\ue0da",
        "bag": "\ue54c",
        "arrow.clockwise": "\ue5d5",
        "rectangle.portrait.and.arrow.right": "\ue9ba",
        "info.circle": "\ue88e"
    })

    function symbol(name) {
        return symbols[name] !== undefined ? symbols[name] : "\ue88e"
    }

    function role(name) {
        switch (name) {
        case "signal": return signal
        case "warning": return warning
        case "error": return error
        case "muted": return muted
        default: return ink
        }
    }
}
