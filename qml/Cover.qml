import QtQuick 2.3

// A DCP's cover, cropped to fill; while it is missing, loading or broken, a plain panel
// with the title stands in for it.
Item {
    id: cover
    property string source: ""
    property string title: ""
    clip: true

    Rectangle {
        objectName: "coverPlaceholder"
        anchors.fill: parent
        visible: picture.status !== Image.Ready
        color: "#2b2b30"

        Text {
            objectName: "coverTitle"
            anchors.fill: parent
            anchors.margins: 15
            horizontalAlignment: Text.AlignHCenter
            verticalAlignment: Text.AlignVCenter
            wrapMode: Text.WordWrap
            elide: Text.ElideRight
            color: "#9a9aa0"
            font.pixelSize: 18
            font.weight: Font.DemiBold
            // The title as the package wrote it, markup included, never rendered.
            textFormat: Text.PlainText
            text: cover.title
        }
    }

    Image {
        id: picture
        objectName: "coverImage"
        anchors.fill: parent
        fillMode: Image.PreserveAspectCrop
        asynchronous: true
        // Through the window's cover store, which fetches each picture once per run.
        // Asked for only once the cover has its width, so that it is decoded once.
        source: cover.width > 0 && cover.source !== "" ? "image://cover/" + encodeURIComponent(cover.source) : ""
        sourceSize.width: 2 * cover.width
    }
}
