import QtQuick 2.3
import "globals.js" as Global

// A navigation bar entry: an image with a label under it.
Item {
    id: nav
    property string label: ""
    property url image: ""
    property int image_size: 50
    property color color: Global.NAV_BAR_BTN_COLOR
    signal clicked()

    width: parent ? parent.width : 100
    height: 10 + image_size + 5 + caption.height + 10
    property color stateBackground: "transparent"
    property color stateLabel: Global.NAV_BAR_LABEL_COLOR
    property bool stateMarked: false
    readonly property bool marked: mouse.containsMouse || stateMarked

    state: Global.BTN_DEFAULT_STATE
    states: [
        State {
            name: Global.BTN_DEFAULT_STATE
            PropertyChanges { target: nav; stateBackground: "transparent"; stateLabel: Global.NAV_BAR_LABEL_COLOR; stateMarked: false }
        },
        State {
            name: Global.BTN_ACTIVE_STATE
            PropertyChanges { target: nav; stateBackground: nav.color; stateLabel: Global.NAV_BAR_LABEL_HIGHLIGHT_COLOR; stateMarked: true }
        }
    ]

    Rectangle {
        objectName: "navBackground"
        anchors.fill: parent
        color: mouse.containsMouse ? "#141415" : nav.stateBackground
    }

    // Hovered or active, the entry is marked in red at its left edge; its label turns
    // bright (red text would not read on these backgrounds).
    Rectangle {
        objectName: "navMark"
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        width: 4
        visible: nav.marked
        color: Global.RED
    }

    Image {
        id: picture
        anchors.horizontalCenter: parent.horizontalCenter
        anchors.top: parent.top
        anchors.topMargin: 10
        width: nav.image_size
        height: nav.image_size
        sourceSize.width: nav.image_size
        sourceSize.height: nav.image_size
        fillMode: Image.PreserveAspectFit
        source: nav.image
    }

    Text {
        id: caption
        objectName: "navLabel"
        anchors.top: picture.bottom
        anchors.topMargin: 5
        anchors.left: parent.left
        anchors.right: parent.right
        horizontalAlignment: Text.AlignHCenter
        wrapMode: Text.WordWrap
        font.pixelSize: 13
        color: mouse.containsMouse ? Global.NAV_BAR_LABEL_HIGHLIGHT_COLOR : nav.stateLabel
        text: nav.label
    }

    Accessible.role: Accessible.Button
    Accessible.name: nav.label
    Accessible.onPressAction: nav.clicked()

    MouseArea {
        id: mouse
        anchors.fill: parent
        hoverEnabled: true
        cursorShape: Qt.PointingHandCursor
        onClicked: nav.clicked()
    }
}
