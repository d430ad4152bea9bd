import QtQuick 2.3
import "globals.js" as Global

// A bar that fills from the left up to value / max, with a text on it.
Rectangle {
    id: bar
    property real max: 100
    property real initial_value: 0
    // The bytes the bar shows now, set through value() and content(); drawn up to max, so
    // the order in which max and the value arrive does not matter.
    property real filled: Global.countOrZero(initial_value)
    property string label: Global.getUnit(initial_value, 2).join(" ")

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

    Rectangle {
        objectName: "fill"
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        width: bar.max > 0 ? bar.width * Math.min(bar.filled, bar.max) / bar.max : 0
    }

    Text {
        objectName: "barText"
        anchors.left: parent.left
        anchors.leftMargin: 10
        anchors.verticalCenter: parent.verticalCenter
        color: "black"
        text: bar.label
        // Screen readers (and the end-to-end cases) read the bar's text.
        Accessible.role: Accessible.StaticText
        Accessible.name: text
    }
}
