import QtQuick 2.3
import QtQuick.Controls 1.2
import QtQml.Models 2.1
import "globals.js" as Global

// One DCP of the catalogue: its card in the grid ("browser") and its page ("fullscreen").
Package {
    id: dcpDelegate
    property var dcp: model.dcp_object

    // The card's line: the first reel that needs attention, or how many wait, or the size
    // of a completed DCP. Reads only what the catalogue objects hold in memory.
    function cardStatus() {
        var size = dcp.getDownloadedSizeUI();
        var found = {};
        var recorded = false;
        var current = dcp === download_mgr.current_dcp;
        var paused = download_mgr.paused;
        var reels = dcp.reels;
        for (var i = 0; i < reels.length; ++i) {
            var reel = reels[i];
            var number = reel.reel_number;
            if (reel.isCorrupted()) {
                found[Global.STATUS_CORRUPTED] = number;
                recorded = true;
                break;
            }
            var checksummed = reel.isChecksummed();
            var downloaded = reel.isDownloaded();
            if (!checksummed && !downloaded) {
                if (current && !paused && found[Global.STATUS_DOWNLOADING] === undefined)
                    found[Global.STATUS_DOWNLOADING] = number;
                else
                    found[Global.STATUS_PENDING] = (found[Global.STATUS_PENDING] || 0) + 1;
                recorded = true;
            } else if (downloaded && !checksummed) {
                if (found[Global.STATUS_DOWNLOADING] === undefined && found[Global.STATUS_VALIDATING] === undefined) {
                    found[Global.STATUS_VALIDATING] = number;
                    recorded = true;
                }
            } else if (checksummed && found[Global.STATUS_SYNCING] === undefined && !reel.isSyncedKnown()) {
                found[Global.STATUS_SYNCING] = number;
                recorded = true;
            }
        }
        var text;
        var missing = dcp.missing_reels;
        if (dcp.set_aside !== "" && found[Global.STATUS_CORRUPTED] === undefined) {
            // Passed by until the operator acts: the card says why.
            text = dcp.set_aside;
        } else if (!recorded && missing > 0) {
            // Never complete without a reel it was ordered with.
            text = "Incomplete: " + missing + " reel" + (missing === 1 ? "" : "s") + " removed";
        } else if (!recorded) {
            text = Global.DCP_STATUSES[Global.STATUS_COMPLETE] + " " + Global.getUnit(size, 2).join(" ");
        } else if (found[Global.STATUS_CORRUPTED] !== undefined) {
            text = Global.DCP_SHORT_STATUSES[Global.STATUS_CORRUPTED];
        } else {
            if (found[Global.STATUS_DOWNLOADING] !== undefined && download_mgr.activity === "retrying")
                text = "Retrying reel " + found[Global.STATUS_DOWNLOADING];
            else if (found[Global.STATUS_DOWNLOADING] === undefined && found[Global.STATUS_VALIDATING] === undefined
                     && found[Global.STATUS_SYNCING] !== undefined && download_mgr.portal_error !== "")
                text = "Tarn has not confirmed reel " + found[Global.STATUS_SYNCING];
            var order = [Global.STATUS_DOWNLOADING, Global.STATUS_VALIDATING, Global.STATUS_SYNCING];
            for (var k = 0; k < order.length && text === undefined; ++k) {
                if (found[order[k]] !== undefined)
                    text = Global.DCP_SHORT_STATUSES[order[k]] + " reel " + found[order[k]];
            }
            if (text === undefined) {
                var count = found[Global.STATUS_PENDING];
                text = Global.DCP_SHORT_STATUSES[Global.STATUS_PENDING] + " " + count + " reel" + (count === 1 ? "" : "s");
            }
        }
        cardBar.content(size, text);
        // A failed DCP stands out in red wherever it is in the grid.
        var failed = found[Global.STATUS_CORRUPTED] !== undefined;
        cardBar.mark = failed ? Global.RED : "transparent";
        cardAlert.visible = failed;
    }

    // After the page closes, and whenever the DCP's state or the current download changes:
    // sizes may have changed with removed reels.
    function refresh() {
        cardBar.max = dcp.getTotalSize();
        cardStatus();
    }

    function showPage() {
        main_window_body.showPage(dcp, index);
    }

    Item {
        id: cell
        Package.name: "browser"
        width: 210
        height: 435

        Rectangle {
            id: card
            objectName: "card"
            width: 200
            height: 400
            color: Global.DCP_BG_COLOR

            Cover {
                id: cardCover
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                height: 303
                source: dcpDelegate.dcp.image_url
                title: dcpDelegate.dcp.friendly_title
            }

            Text {
                objectName: "cardTitle"
                anchors.top: cardCover.bottom
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.margins: 10
                height: 40
                color: Global.DCP_TITLE_COLOR
                font.pixelSize: 15
                font.weight: Font.DemiBold
                wrapMode: Text.WordWrap
                maximumLineCount: 2
                // Qt elides wrapped text only at its end.
                elide: Text.ElideRight
                // Package and portal texts are shown as written, never as markup.
                textFormat: Text.PlainText
                text: dcpDelegate.dcp.friendly_title
            }

            CustomProgressBar {
                id: cardBar
                objectName: "cardProgress"
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.bottom: parent.bottom
                anchors.margins: 5
                height: 20
                Component.onCompleted: {
                    max = dcpDelegate.dcp.getTotalSize();
                    initial_value = dcpDelegate.dcp.getDownloadedSizeUI();
                    dcpDelegate.cardStatus();
                }
            }

            Rectangle {
                id: cardAlert
                objectName: "cardAlert"
                anchors.fill: parent
                color: "transparent"
                border.width: 2
                border.color: Global.RED
                visible: false
            }

            MouseArea {
                anchors.fill: parent
                cursorShape: Qt.PointingHandCursor
                onClicked: dcpDelegate.showPage()
            }

            Connections {
                target: download_mgr
                function onActivityChanged() { dcpDelegate.cardStatus(); }
            }

            Connections {
                target: dcpDelegate.dcp
                function onFinishedChanged() { dcpDelegate.refresh(); }
                function onReelsChanged() { dcpDelegate.refresh(); }
                function onStatusChanged() { dcpDelegate.refresh(); }
                function onDownloadProgress() { dcpDelegate.cardStatus(); }
                function onDownloadFinished() { dcpDelegate.cardStatus(); }
            }

            Connections {
                target: download_mgr
                function onCurrentDcpChanged() { dcpDelegate.refresh(); }
            }
        }
    }

    Rectangle {
        id: page
        objectName: "detailsPage"
        Package.name: "fullscreen"
        width: detailsList.width
        height: detailsList.height
        visible: index === detailsList.currentIndex && dcpDelegate.dcp === main_window_body.pageDcp
        color: Global.DCP_DETAILS_BG_COLOR

        // The page's content exists only while the page is shown: a catalogue of hundreds
        // of DCPs builds no reel lists nobody looks at.
        Loader {
            anchors.fill: parent
            active: page.visible
            sourceComponent: Component {
                Item {
                    Rectangle {
                        id: panel
                        anchors.right: parent.right
                        anchors.top: parent.top
                        anchors.bottom: parent.bottom
                        width: parent.width - 90
                        color: Global.DCP_DETAILS_BODY_COLOR

                        Rectangle {
                            anchors.left: parent.left
                            anchors.top: parent.top
                            anchors.bottom: parent.bottom
                            width: 1
                            color: Global.DCP_DETAILS_BORDER_COLOR
                        }

                        Item {
                            id: header
                            anchors.left: parent.left
                            anchors.right: parent.right
                            anchors.top: parent.top
                            anchors.margins: 10
                            height: 100

                            Item {
                                id: iconBox
                                anchors.left: parent.left
                                anchors.verticalCenter: parent.verticalCenter
                                width: 50
                                height: 50
                                Image {
                                    anchors.centerIn: parent
                                    width: 40
                                    height: 40
                                    sourceSize.width: 40
                                    sourceSize.height: 40
                                    source: "images/dcp_icon.svg"
                                }
                            }

                            // The title reads in white beside a mark in the title red: red text
                            // would not read well enough on this panel.
                            Rectangle {
                                objectName: "pageTitleMark"
                                anchors.left: iconBox.right
                                anchors.leftMargin: 2
                                anchors.top: titleColumn.top
                                anchors.bottom: titleColumn.bottom
                                width: 4
                                color: Global.DCP_DETAILS_MAIN_TITLE_COLOR
                            }

                            Column {
                                id: titleColumn
                                anchors.left: iconBox.right
                                anchors.leftMargin: 10
                                anchors.right: parent.right
                                anchors.verticalCenter: parent.verticalCenter
                                spacing: 4
                                Text {
                                    objectName: "pageFriendlyTitle"
                                    width: parent.width
                                    elide: Text.ElideRight
                                    color: Global.DCP_DETAILS_MAIN_TITLE_TEXT_COLOR
                                    font.pixelSize: 30
                                    textFormat: Text.PlainText
                                    text: dcpDelegate.dcp.friendly_title
                                }
                                Text {
                                    objectName: "pageTitle"
                                    width: parent.width
                                    elide: Text.ElideRight
                                    color: "white"
                                    font.pixelSize: 15
                                    textFormat: Text.PlainText
                                    text: dcpDelegate.dcp.title
                                }
                            }
                        }

                        Row {
                            id: actions
                            anchors.left: parent.left
                            anchors.top: header.bottom
                            anchors.leftMargin: 10
                            height: 50
                            spacing: 5

                            CustomButton {
                                id: startButton
                                objectName: "startButton"
                                anchors.verticalCenter: parent.verticalCenter
                                width: 150
                                text: "START DOWNLOAD"
                                // Offered unless the DCP downloads now or is finished; asked
                                // again on every change of either.
                                visible: false
                                function follow() {
                                    visible = dcpDelegate.dcp !== download_mgr.current_dcp && !dcpDelegate.dcp.finished;
                                }
                                Component.onCompleted: follow()
                                Connections {
                                    target: dcpDelegate.dcp
                                    function onFinishedChanged() { startButton.follow(); }
                                    function onReelsChanged() { startButton.follow(); }
                                    function onStatusChanged() { startButton.follow(); }
                                }
                                Connections {
                                    target: download_mgr
                                    function onCurrentDcpChanged() { startButton.follow(); }
                                }
                                onClicked: download_mgr.startDownloading(dcpDelegate.dcp)
                            }

                            CustomButton {
                                objectName: "deleteButton"
                                anchors.verticalCenter: parent.verticalCenter
                                width: 100
                                text: "DELETE"
                                onClicked: dcpRemovalDialog.ask(dcpDelegate.dcp)
                            }

                            // Why the downloads pass this DCP by, while they do.
                            Text {
                                id: pageSetAside
                                objectName: "pageSetAside"
                                anchors.verticalCenter: parent.verticalCenter
                                visible: text !== ""
                                color: "white"
                                font.pixelSize: 15
                                font.weight: Font.DemiBold
                                textFormat: Text.PlainText
                                text: dcpDelegate.dcp.set_aside
                                Accessible.role: Accessible.StaticText
                                Accessible.name: text
                            }
                        }

                        Rectangle {
                            id: pageCard
                            anchors.left: parent.left
                            anchors.top: actions.bottom
                            anchors.leftMargin: 10
                            anchors.topMargin: 10
                            width: 200
                            height: 350
                            color: Global.DCP_BG_COLOR

                            Cover {
                                id: pageCover
                                anchors.left: parent.left
                                anchors.right: parent.right
                                anchors.top: parent.top
                                height: 303
                                source: dcpDelegate.dcp.image_url
                                title: dcpDelegate.dcp.friendly_title
                            }

                            Text {
                                objectName: "pageCardTitle"
                                anchors.top: pageCover.bottom
                                anchors.left: parent.left
                                anchors.right: parent.right
                                anchors.leftMargin: 10
                                anchors.rightMargin: 10
                                height: 35
                                verticalAlignment: Text.AlignVCenter
                                color: Global.DCP_TITLE_COLOR
                                font.pixelSize: 12
                                font.weight: Font.DemiBold
                                elide: Text.ElideMiddle
                                textFormat: Text.PlainText
                                text: dcpDelegate.dcp.friendly_title
                            }
                        }

                        CustomButton {
                            objectName: "filesButton"
                            anchors.top: pageCard.bottom
                            anchors.topMargin: 50
                            anchors.horizontalCenter: pageCard.horizontalCenter
                            width: 140
                            text: "GO TO FILES"
                            image: "images/folder.svg"
                            onClicked: Qt.openUrlExternally(Global.folderUrl(dcpDelegate.dcp.download_path + "/" + dcpDelegate.dcp.title,
                                                                             Qt.platform.os === "windows"))
                        }

                        ListView {
                            id: reelList
                            objectName: "reelList"
                            anchors.left: pageCard.right
                            anchors.right: parent.right
                            anchors.top: actions.bottom
                            anchors.bottom: parent.bottom
                            anchors.margins: 10
                            clip: true
                            header: Item { height: 10; width: 1 }
                            model: dcpDelegate.dcp.reels
                            delegate: ReelDelagate {
                                dcp: dcpDelegate.dcp
                            }
                        }
                    }

                    Rectangle {
                        objectName: "closeButton"
                        anchors.right: panel.left
                        anchors.top: parent.top
                        anchors.topMargin: 10
                        width: 50
                        height: 50
                        color: Global.DCP_DETAILS_BTN_CLOSE_BG_COLOR

                        Rectangle { anchors.left: parent.left; anchors.right: parent.right; anchors.top: parent.top; height: 1; color: Global.DCP_DETAILS_BORDER_COLOR }
                        Rectangle { anchors.left: parent.left; anchors.top: parent.top; anchors.bottom: parent.bottom; width: 1; color: Global.DCP_DETAILS_BORDER_COLOR }
                        Rectangle { anchors.left: parent.left; anchors.right: parent.right; anchors.bottom: parent.bottom; height: 1; color: Global.DCP_DETAILS_BORDER_COLOR }

                        Image {
                            anchors.centerIn: parent
                            width: 30
                            height: 30
                            sourceSize.width: 30
                            sourceSize.height: 30
                            source: "images/cross_white.svg"
                        }

                        MouseArea {
                            anchors.fill: parent
                            cursorShape: Qt.PointingHandCursor
                            onClicked: {
                                dcpDelegate.refresh();
                                main_window_body.state = "all";
                            }
                        }
                    }
                }
            }
        }
    }
}
