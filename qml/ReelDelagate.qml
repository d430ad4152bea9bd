import QtQuick 2.3
import "globals.js" as Global

// One reel on a DCP's page: number, progress, size, remove action and status.
Item {
    id: line
    objectName: "reelLine"
    property var reel: modelData
    property var dcp: null
    width: ListView.view ? ListView.view.width : 800
    height: 40

    // A status in RED reads as light text on a red mark: red text would not read on the
    // page's dark panel.
    function setStatus(text, colour) {
        status.text = text;
        if (colour !== undefined) {
            statusAlert.visible = colour === Global.RED;
            status.color = statusAlert.visible ? Global.TEXT_ON_RED_COLOR : colour;
        }
        againButton.visible = reel.isCorrupted();
    }

    function showPaused() { setStatus("Pending"); }
    function showProgress(speed) {
        var shown = Global.getSpeedAsMbps(speed, 2);
        setStatus(Global.DCP_STATUSES[Global.STATUS_DOWNLOADING] + " " + Global.pad(shown[0], 7) + " " + shown[1],
                  Global.DCP_DETAILS_REEL_STATUS_COLOR);
        bar.value(reel.getDownloadedSize());
    }
    function showSynced() {
        setStatus(Global.DCP_STATUSES[Global.STATUS_COMPLETE], Global.DCP_DETAILS_REEL_STATUS_COLOR);
    }
    function showChecksummed() {
        // While Tarn does not confirm, the line says so and that it keeps trying.
        var error = download_mgr.portal_error;
        setStatus(error === "" ? Global.DCP_STATUSES[Global.STATUS_SYNCING]
                               : "Waiting for Tarn to confirm; trying again (" + error + ")",
                  Global.DCP_DETAILS_REEL_STATUS_COLOR);
    }
    function showCheckingChecksum() {
        setStatus(Global.DCP_STATUSES[Global.STATUS_VALIDATING], Global.DCP_DETAILS_REEL_STATUS_COLOR);
        bar.value(reel.getTotalSize());
    }
    function showCorrupted() {
        setStatus(Global.DCP_STATUSES[Global.STATUS_CORRUPTED], Global.RED);
        bar.value(reel.getTotalSize());
    }
    function showQueuedForRedownload() {
        setStatus(Global.DCP_STATUSES[Global.STATUS_QUEUED_FOR_REDOWNLOAD], Global.ORANGE);
        // What is on disk now: the file to download again was emptied.
        bar.value(reel.getDownloadedSize());
    }

    // What the reel's state says before any signal arrives.
    function showInitialStatus() {
        if (reel.isCorrupted()) {
            showCorrupted();
        } else if (reel.isChecksummed()) {
            if (reel.isSyncedKnown())
                showSynced();
            else
                showChecksummed();
            bar.value(reel.getTotalSize());
        } else if (reel.isDownloaded()) {
            showCheckingChecksum();
        } else {
            setStatus(Global.DCP_STATUSES[Global.STATUS_PENDING], Global.DCP_DETAILS_REEL_STATUS_COLOR);
            bar.value(reel.getDownloadedSize());
        }
    }

    Text {
        id: number
        anchors.left: parent.left
        anchors.leftMargin: 20
        anchors.top: parent.top
        width: 75
        height: 30
        verticalAlignment: Text.AlignVCenter
        color: Global.DCP_DETAILS_REEL_NUMBER_COLOR
        font.pixelSize: 17
        font.bold: true
        text: "Reel #" + line.reel.reel_number
    }

    CustomProgressBar {
        id: bar
        objectName: "reelBar"
        anchors.left: number.right
        anchors.leftMargin: 10
        anchors.top: parent.top
        max: line.reel.getTotalSize()
        initial_value: line.reel.getDownloadedSize()
    }

    Text {
        id: sizeValue
        objectName: "reelSize"
        anchors.left: bar.right
        anchors.leftMargin: 10
        anchors.verticalCenter: bar.verticalCenter
        width: 50
        horizontalAlignment: Text.AlignRight
        color: Global.DCP_DETAILS_REEL_SIZE_COLOR
        font.pixelSize: 13
        text: Global.getUnit(line.reel.getTotalSize(), 2)[0]
    }

    Text {
        id: sizeUnit
        objectName: "reelUnit"
        anchors.left: sizeValue.right
        anchors.leftMargin: 5
        anchors.verticalCenter: bar.verticalCenter
        // As wide as the widest unit, so that the status after it never moves under it.
        width: Math.max(20, Math.ceil(widestUnit.implicitWidth))
        color: Global.DCP_DETAILS_REEL_SIZE_COLOR
        font.pixelSize: 13
        text: Global.getUnit(line.reel.getTotalSize(), 2)[1]

        Text {
            id: widestUnit
            visible: false
            font: sizeUnit.font
            text: "bytes"
        }
    }

    Item {
        id: actionArea
        anchors.left: sizeUnit.right
        anchors.leftMargin: 10
        anchors.right: parent.right
        anchors.top: parent.top
        height: 30

        ActionButton {
            objectName: "reelRemoveButton"
            anchors.left: parent.left
            anchors.verticalCenter: parent.verticalCenter
            color: "transparent"
            image: "images/circle_minus.svg"
            onClicked: reelRemovalDialog.ask(line.reel, line.dcp)
        }

        // A reel that failed verification three times can be fetched again.
        CustomButton {
            id: againButton
            objectName: "reelAgainButton"
            anchors.left: status.right
            anchors.leftMargin: 8
            anchors.verticalCenter: parent.verticalCenter
            // Narrow enough that "Corrupted" is read in full beside it at the smallest window.
            width: 120
            height: 26
            text: "Download again"
            visible: false
            onClicked: download_mgr.downloadReelAgain(line.reel)
        }

        Rectangle {
            id: statusAlert
            objectName: "reelStatusAlert"
            anchors.fill: status
            anchors.leftMargin: -5
            anchors.rightMargin: -5
            anchors.topMargin: -2
            anchors.bottomMargin: -2
            radius: 2
            color: Global.RED
            visible: false
        }

        Text {
            id: status
            objectName: "reelStatus"
            anchors.left: parent.left
            anchors.leftMargin: 40
            anchors.verticalCenter: parent.verticalCenter
            // A long status (the portal's reason) ends within the line, elided; "Download
            // again" follows it.
            width: Math.min(implicitWidth, parent.width - x - 10 - (againButton.visible ? againButton.width + againButton.anchors.leftMargin : 0))
            elide: Text.ElideRight
            font.family: "Courier"
            font.weight: Font.Medium
            font.pixelSize: 15
            color: Global.DCP_DETAILS_REEL_STATUS_COLOR
            // The portal's reason may be part of it: shown as written.
            textFormat: Text.PlainText
            Component.onCompleted: line.showInitialStatus()
        }
    }

    Connections {
        target: line.reel
        function onDownloadPaused() { line.showPaused(); }
        function onDownloadProgress(speed) { line.showProgress(speed); }
        function onDownloadSynced() { line.showSynced(); }
        function onDownloadChecksummed() { line.showChecksummed(); }
        function onDownloadCheckingChecksum() { line.showCheckingChecksum(); }
        function onDownloadCorrupted() { line.showCorrupted(); }
        function onDownloadQueuedForRedownload() { line.showQueuedForRedownload(); }
    }

    Connections {
        target: main_window_body
        function onStateChanged() { line.showInitialStatus(); }
    }

    Connections {
        target: download_mgr
        function onActivityChanged() {
            if (line.reel.isChecksummed() && !line.reel.isSyncedKnown())
                line.showChecksummed();
        }
    }
}
