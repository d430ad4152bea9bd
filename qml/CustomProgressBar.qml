import QtQuick 2.3
import "globals.js" as Global

// A bar that fills from the left up to value / max, with a text on it. The text is drawn
// twice at the same place: light over the unfilled part, dark over the fill (the dark copy
// lives inside the fill and is clipped by it), so that it reads wherever the fill ends.
// A text wider than the bar is elided.
Rectangle {
    id: bar
    property real max: 100
    property real initial_value: 0
    // The bytes the bar shows now, set through value() and content(); drawn up to max, so
    // the order in which max and the value arrive does not matter.
    property real filled: Global.countOrZero(initial_value)
    property string label: Global.getUnit(initial_value, 2).join(" ")
    // A mark at the bar's left end in this colour ("transparent": none), for a state that
    // must stand out.
    property color mark: "transparent"

    width: 300
    height: 30
    color: "#424242"

    function value(val) {
        if (val === undefined)
            return;
        filled = Global.countOrZero(val);
        label = Global.getUnit(val, 2).join(" ");
    }

    function content(val, txt) {
        if (val === undefined || txt === undefined)
            return;
        filled = Global.countOrZero(val);
        label = txt;
    }

    Text {
        id: lightText
        objectName: "barText"
        x: 10
        width: bar.width - 20
        anchors.verticalCenter: parent.verticalCenter
        color: Global.BAR_TEXT_LIGHT_COLOR
        elide: Text.ElideRight
        // A status may carry a drive's or the portal's text: shown as written.
        textFormat: Text.PlainText
        text: bar.label
        // Screen readers (and the end-to-end cases) read the bar's text.
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }

    Rectangle {
        id: fill
        objectName: "fill"
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        width: bar.max > 0 ? bar.width * Math.min(bar.filled, bar.max) / bar.max : 0
        clip: true

        Text {
            objectName: "barTextOnFill"
            x: lightText.x
            y: lightText.y
            width: lightText.width
            height: lightText.height
            color: Global.BAR_TEXT_DARK_COLOR
            elide: Text.ElideRight
            textFormat: Text.PlainText
            text: bar.label
            Accessible.ignored: true
        }
    }

    Rectangle {
        objectName: "barMark"
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        width: 5
        visible: bar.mark.a > 0
        color: bar.mark
    }
}
