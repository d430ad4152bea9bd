import QtQuick 2.3
import QtQuick.Controls 1.2
import QtQuick.Window 2.2
import "globals.js" as Globals

ApplicationWindow {
    id: window
    objectName: "mainWindow"
    visible: true
    width: 1024
    height: 680
    title: "Tolvane Downloader"
    color: "#0c0c0d"

    Column {
        anchors.centerIn: parent
        spacing: 16

        Image {
            anchors.horizontalCenter: parent.horizontalCenter
            source: "qrc:/images/tolvane_logo.svg"
            sourceSize.width: 96
            sourceSize.height: 96
        }

        Text {
            objectName: "catalogueSummary"
            anchors.horizontalCenter: parent.horizontalCenter
            color: "white"
            font.family: "Arial"
            font.pixelSize: 16
            text: dcp_mgr.dcps.length + " DCP(s) in the catalogue"
        }
    }
}
