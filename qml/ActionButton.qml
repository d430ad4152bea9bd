import QtQuick 2.3

// A small square button showing an image.
Rectangle {
    id: action
    property url image: ""
    signal clicked()

    width: 30
    height: 30
    color: "red"

    Image {
        anchors.fill: parent
        anchors.margins: 5
        sourceSize.width: 40
        sourceSize.height: 40
        fillMode: Image.PreserveAspectFit
        source: action.image
    }

    MouseArea {
        anchors.fill: parent
        cursorShape: Qt.PointingHandCursor
        onClicked: action.clicked()
    }
}
