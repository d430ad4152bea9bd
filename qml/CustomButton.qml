import QtQuick 2.3
import "globals.js" as Global

// A rounded push button with an optional image at its left; "active" fills it.
Item {
    id: button
    property string text: ""
    property url image: ""
    property color color: Global.BTN_ACTIVE_BG_COLOR
    property int image_size: 30
    signal clicked()

    function click() {
        clicked();
    }

    width: 215
    height: 35
    state: Global.BTN_DEFAULT_STATE
    states: [
        State {
            name: Global.BTN_DEFAULT_STATE
            PropertyChanges { target: frame; color: "transparent" }
        },
        State {
            name: Global.BTN_ACTIVE_STATE
            PropertyChanges { target: frame; color: button.color }
        }
    ]

    Rectangle {
        id: frame
        objectName: "frame"
        anchors.fill: parent
        radius: 8
        border.width: 2
        border.color: button.color
        color: "transparent"
    }
    // Hovering fills the button at once, whatever its state.
    Rectangle {
        anchors.fill: parent
        radius: 8
        visible: mouse.containsMouse
        color: button.color
    }

    Image {
        id: icon
        anchors.left: parent.left
        anchors.leftMargin: 5
        anchors.verticalCenter: parent.verticalCenter
        visible: button.image != ""
        source: button.image
        width: visible ? button.image_size : 0
        height: button.image_size
        sourceSize.width: button.image_size
        sourceSize.height: button.image_size
        fillMode: Image.PreserveAspectFit
    }

    Text {
        objectName: "buttonText"
        anchors.left: icon.visible ? icon.right : parent.left
        anchors.right: parent.right
        anchors.verticalCenter: parent.verticalCenter
        horizontalAlignment: Text.AlignHCenter
        color: "white"
        font.pixelSize: 14
        text: button.text
    }

    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        onClicked: button.clicked()
    }
}
