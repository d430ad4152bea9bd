import QtQuick 2.3
import QtQuick.Controls 1.2
import QtQuick.Controls.Styles 1.2
import QtQuick.Dialogs 1.1
import QtQuick.Layouts 1.1
import QtQml.Models 2.1
import "globals.js" as Global

// The catalogue window: navigation bar, search and sort, the grid of DCP cards or one
// DCP's page, and the status bar with the speed limit.
ApplicationWindow {
    id: window
    objectName: "window"
    visible: true
    // While a DCP downloads, the title tells how much of it is there, also in the task bar.
    title: "Tolvane Downloader " + version + (downloadedPercent >= 0 ? " \u2014 " + downloadedPercent + "%" : "")
    width: 1200
    height: 750
    minimumWidth: 1200
    minimumHeight: 750
    color: Global.MAIN_BG_COLOR

    readonly property string version: "1.4.0"
    readonly property string supportPhone: "+44 20 7946 0381"
    readonly property string rightsNotice: "\u00a9 2026 Tolvane. All rights reserved."

    // Percent of the current DCP on disk, a whole number; -1 while nothing downloads.
    property int downloadedPercent: -1
    function followDownload() {
        var dcp = download_mgr.current_dcp;
        var activity = download_mgr.activity;
        var total = dcp ? Global.countOrZero(dcp.getTotalSize()) : 0;
        if (!dcp || total <= 0 || (activity !== "downloading" && activity !== "retrying")) {
            downloadedPercent = -1;
            return;
        }
        downloadedPercent = Math.min(100, Math.floor(100 * Global.countOrZero(dcp.getDownloadedSize()) / total));
    }
    Connections {
        target: download_mgr
        function onDownloadProgress(speed) { window.followDownload(); }
        function onCurrentDcpChanged() { window.followDownload(); }
        function onActivityChanged() { window.followDownload(); }
    }

    // A clicked desktop notification: that DCP's page, also when the search hides its card.
    function openDcpPage(dcp) {
        if (dcp_mgr.dcps.indexOf(dcp) < 0 && dcp_mgr.haveSearchFilter)
            searchField.text = "";
        var row = dcp_mgr.dcps.indexOf(dcp);
        if (row >= 0)
            main_window_body.showPage(dcp, row);
    }

    menuBar: MenuBar {
        Menu {
            title: "File"
            MenuItem {
                objectName: "menuLoadFile"
                text: "&Load File"
                onTriggered: packageDialog.open()
            }
            MenuItem {
                objectName: "menuSpeedSchedule"
                text: "Speed &Schedule\u2026"
                onTriggered: speedScheduleDialog.open()
            }
            MenuItem {
                objectName: "menuAbout"
                text: "&About"
                onTriggered: aboutDialog.open()
            }
            MenuItem {
                objectName: "menuExit"
                text: "Exit"
                onTriggered: Qt.quit()
            }
        }
    }

    FileDialog {
        id: packageDialog
        objectName: "packageDialog"
        title: "Please choose a file"
        nameFilters: ["DCP Package (*.orvdcp)"]
        selectMultiple: false
        onAccepted: {
            main_window_body.state = "all";
            dcp_mgr.loadDCPFromFile(packageDialog.fileUrls.toString());
        }
    }

    MessageDialog {
        id: aboutDialog
        objectName: "aboutDialog"
        icon: StandardIcon.Information
        standardButtons: StandardButton.Ok
        title: "Tolvane Downloader"
        text: "Tolvane Downloader\r\nVersion " + window.version + "\r\n" + window.rightsNotice + "\r\n"
    }

    MessageDialog {
        id: resumeDialog
        objectName: "resumeDialog"
        icon: StandardIcon.Question
        standardButtons: StandardButton.Yes | StandardButton.No
        title: "Downloads are paused"
        text: "Your downloads are paused."
        informativeText: "Would you like to resume?"
        onYes: download_mgr.resumeDownloading()
    }

    // Asked by a DCP's page; the DCP stays on disk.
    MessageDialog {
        id: dcpRemovalDialog
        objectName: "dcpRemovalDialog"
        property var dcp: null
        icon: StandardIcon.Warning
        standardButtons: StandardButton.Yes | StandardButton.Cancel
        title: "Warning..."
        // The box names the DCP it removes above the usual warning.
        text: (dcp ? dcp.friendly_title + "\r\n\r\n" : "") + "You are about to delete a DCP.\r\n\r\nThis will NOT DELETE the files on your hard drive but simply remove the DCP from the Tolvane Downloader."
        informativeText: "Would you like to continue ?"
        function ask(target) {
            dcp = target;
            open();
        }
        onYes: {
            var target = dcp;
            dcp = null;
            // A DCP that already left the catalogue is not removed twice.
            if (target && dcp_mgr.dcps.indexOf(target) >= 0) {
                download_mgr.removeDownload(target);
                main_window_body.state = "all";
            }
        }
        onRejected: dcp = null
    }

    // Asked by a reel line; the reel's files are deleted.
    MessageDialog {
        id: reelRemovalDialog
        objectName: "reelRemovalDialog"
        property var reel: null
        property var dcp: null
        icon: StandardIcon.Warning
        standardButtons: StandardButton.Yes | StandardButton.Cancel
        title: "Warning..."
        text: "You are about to delete a Reel.\r\n\r\nThis will DELETE the files on your hard drive. The Reel and all of it's assets will be removed."
        informativeText: "Would you like to continue ?"
        function ask(targetReel, ownerDcp) {
            reel = targetReel;
            dcp = ownerDcp;
            open();
        }
        onYes: {
            var target = reel;
            var owner = dcp;
            reel = null;
            dcp = null;
            if (!target)
                return;
            // The DCP goes with its last reel: leave its page first.
            if (owner && owner.reels.length === 1)
                main_window_body.state = "all";
            download_mgr.removeDownloadReel(target);
        }
        onRejected: {
            reel = null;
            dcp = null;
        }
    }

    Component.onCompleted: {
        followDownload();
        if (dcp_mgr.dcps.count > 0 && (parseInt(settings_mgr.get("download_paused"), 10) || 0) !== 0)
            resumeDialog.open();
    }

    Rectangle {
        id: navBar
        objectName: "navBar"
        anchors.left: parent.left
        anchors.top: parent.top
        anchors.bottom: parent.bottom
        width: 100
        color: Global.NAV_BAR_BG_COLOR

        Column {
            anchors.fill: parent
            anchors.topMargin: 15
            spacing: 1

            Image {
                anchors.horizontalCenter: parent.horizontalCenter
                source: "images/tolvane_logo.svg"
                sourceSize.width: 80
                fillMode: Image.PreserveAspectFit
            }

            Item {
                width: parent.width
                height: 15
                Rectangle {
                    anchors.left: parent.left
                    anchors.right: parent.right
                    anchors.bottom: parent.bottom
                    height: 1
                    color: Global.SPACER_COLOR
                }
            }

            NavButton {
                id: btn_open_load_orvdcp
                objectName: "loadFileButton"
                height: 80
                label: "LOAD FILE"
                image: "images/folder_closed.svg"
                image_size: 45
                onClicked: packageDialog.open()
            }

            NavButton {
                id: pauseButton
                objectName: "pauseButton"
                height: 80
                image_size: 40
                label: "PAUSE"
                image: "images/circle_pause.svg"

                function follow() {
                    if (settings_mgr.get("download_paused") === "1") {
                        label = "RESUME";
                        image = "images/circle_play.svg";
                    } else {
                        label = "PAUSE";
                        image = "images/circle_pause.svg";
                    }
                }

                Component.onCompleted: follow()
                Connections {
                    target: settings_mgr
                    function onChanged() { pauseButton.follow(); }
                }
                onClicked: {
                    if (settings_mgr.get("download_paused") === "1")
                        download_mgr.resumeDownloading();
                    else
                        download_mgr.pauseDownloading();
                }
            }

            NavButton {
                objectName: "tarnButton"
                height: 80
                label: "LAUNCH TARN"
                image: "images/earth.svg"
                image_size: 45
                onClicked: Qt.openUrlExternally(dcp_mgr.portal_url)
            }
        }
    }

    Rectangle {
        id: statusBar
        objectName: "statusBar"
        anchors.left: navBar.right
        anchors.right: parent.right
        anchors.bottom: parent.bottom
        height: 34
        color: Global.NAV_TOP_BG_COLOR

        Text {
            id: speedLimitCaption
            anchors.left: parent.left
            anchors.leftMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            color: "white"
            font.family: "Courier"
            font.weight: Font.Medium
            font.pixelSize: 13
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            text: "Speed limit: "
        }

        Slider {
            id: speedSlider
            objectName: "speedSlider"
            anchors.left: speedLimitCaption.right
            anchors.verticalCenter: parent.verticalCenter
            width: 200
            minimumValue: 1
            maximumValue: 200
            stepSize: 1
            property bool created: false
            // Set while the slider shows a limit the schedule put in force, not the operator.
            property bool following: false

            // The limit the speed schedule has in force: a row's, or the slider's own.
            function showLimit() {
                var mbps = speed_schedule.limit_mbps;
                following = true;
                value = mbps === 0 ? maximumValue : mbps;
                following = false;
                if (mbps === 0) {
                    speedLabel.text = "Unlimited";
                } else {
                    var speed = Global.getSpeedAsMbps(mbps * Global.MEGA_BIT, 2);
                    speedLabel.text = Global.pad(speed[0], 7) + " " + speed[1];
                }
            }

            // The operator's limit goes to the engine through the schedule, which lets it
            // rule until the schedule's next change.
            function applyLimit() {
                speed_schedule.setManualLimit(value);
                showLimit();
            }

            function saveLimit() {
                settings_mgr.set("download_limit", String(value));
                settings_mgr.save();
            }

            onValueChanged: if (created && !following) applyLimit()
            onPressedChanged: if (created) saveLimit()

            Component.onCompleted: {
                var limit = parseInt(settings_mgr.get("download_limit"), 10);
                if (isNaN(limit) || limit === 0)
                    limit = maximumValue;
                value = Math.max(minimumValue, Math.min(maximumValue, limit));
                created = true;
                // Applied here whatever the value: at the minimum no change is raised,
                // and until now the download manager has no limit at all. A row of the
                // schedule in force keeps its own limit.
                speed_schedule.setOperatorLimit(value);
                showLimit();
            }

            Connections {
                target: speed_schedule
                function onLimitChanged() { speedSlider.showLimit(); }
            }
        }

        Text {
            id: speedLabel
            objectName: "speedLabel"
            anchors.left: speedSlider.right
            anchors.leftMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            color: "white"
            font.family: "Courier"
            font.weight: Font.Medium
            font.pixelSize: 13
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        // Beside the limit while a row of the speed schedule puts it in force.
        Text {
            id: scheduleMark
            objectName: "scheduleMark"
            anchors.left: speedLabel.right
            anchors.leftMargin: 8
            anchors.verticalCenter: parent.verticalCenter
            visible: speed_schedule.scheduled
            color: Global.DCP_DETAILS_REEL_NUMBER_COLOR
            font.family: "Courier"
            font.weight: Font.Medium
            font.pixelSize: 13
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            // Hidden, it is not read out either.
            Accessible.ignored: !visible
            text: "(scheduled)"
        }

        // What the engine does: paused, downloading (with the time left), waiting to retry,
        // verifying, waiting for Tarn's confirmation, DCPs that need the operator, or ready.
        Text {
            id: statusLabel
            objectName: "statusLabel"
            anchors.right: parent.right
            anchors.rightMargin: 10
            anchors.verticalCenter: parent.verticalCenter
            // Right-aligned, and never over the speed label: a long reason is elided.
            width: Math.min(implicitWidth, parent.width - (scheduleMark.visible ? scheduleMark.x + scheduleMark.width
                                                                                : speedLabel.x + speedLabel.width) - 30)
            elide: Text.ElideRight
            color: "white"
            font.family: "Courier"
            font.weight: Font.Medium
            font.pixelSize: 13
            Accessible.role: Accessible.StaticText
            Accessible.name: text
            // Names a DCP and may quote a server: shown as written.
            textFormat: Text.PlainText
            text: download_mgr.activity_text

            function follow() { text = download_mgr.activity_text; }

            Connections {
                target: download_mgr
                function onDownloadPaused() { statusLabel.follow(); }
                function onDownloadStandBy() { statusLabel.follow(); }
                function onActivityChanged() { statusLabel.follow(); }
                function onDownloadProgress(speed) {
                    var dcp = download_mgr.getCurrentDownloadingDCP();
                    if (!dcp || download_mgr.activity !== "downloading")
                        return;
                    statusLabel.text = Global.remainingTimeText(dcp.getTotalSize() - dcp.getDownloadedSize(), speed);
                }
            }
        }
    }

    Item {
        id: main_window_body
        objectName: "body"
        anchors.left: navBar.right
        anchors.right: parent.right
        anchors.top: parent.top
        anchors.bottom: statusBar.top
        state: "all"
        states: [
            State { name: "all" },
            State { name: "details" }
        ]
        onStateChanged: {
            if (state === "all") {
                pageDcp = null;
                searchField.forceActiveFocus();
            }
        }

        // The DCP whose page is open: the page follows the DCP, not a position in the list.
        property var pageDcp: null

        function showPage(dcp, index) {
            pageDcp = dcp;
            grid.currentIndex = index;
            detailsList.currentIndex = index;
            state = "details";
        }

        // After the catalogue changed: the open page moves with its DCP, or closes when
        // the DCP is gone, and a removal question about a gone DCP is withdrawn.
        function followCatalogue() {
            if (dcpRemovalDialog.dcp && dcp_mgr.dcps.indexOf(dcpRemovalDialog.dcp) < 0) {
                dcpRemovalDialog.dcp = null;
                dcpRemovalDialog.close();
            }
            if (!pageDcp)
                return;
            var row = dcp_mgr.dcps.indexOf(pageDcp);
            if (row < 0) {
                state = "all";
                return;
            }
            grid.currentIndex = row;
            detailsList.currentIndex = row;
        }

        // Only a DCP joining or leaving the catalogue re-sorts it newest first; searching
        // keeps the order the user chose.
        Connections {
            target: dcp_mgr
            function onCatalogueChanged() {
                btnDate.click();
                main_window_body.followCatalogue();
            }
        }
        Component.onCompleted: if (dcp_mgr.dcps.count > 0) btnDate.click()

        Rectangle {
            id: topBar
            objectName: "topBar"
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.top: parent.top
            height: 133
            color: Global.NAV_TOP_BG_COLOR
            enabled: main_window_body.state === "all"

            Rectangle {
                id: searchBox
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: parent.top
                anchors.leftMargin: 10
                anchors.rightMargin: 10
                anchors.topMargin: 13
                height: 60
                color: Global.SEARCH_INPUT_BG_COLOR

                Image {
                    id: searchIcon
                    anchors.left: parent.left
                    anchors.leftMargin: 15
                    anchors.verticalCenter: parent.verticalCenter
                    width: 40
                    height: 40
                    sourceSize.width: 40
                    sourceSize.height: 40
                    source: "images/magnifying_glass.svg"
                }

                Rectangle {
                    id: searchSpacer
                    anchors.left: searchIcon.right
                    anchors.leftMargin: 15
                    anchors.top: parent.top
                    anchors.bottom: parent.bottom
                    anchors.topMargin: 10
                    anchors.bottomMargin: 10
                    width: 1
                    color: Global.SEARCH_SPACER_COLOR
                }

                TextField {
                    id: searchField
                    objectName: "searchField"
                    anchors.left: searchSpacer.right
                    anchors.right: parent.right
                    anchors.top: parent.top
                    anchors.bottom: parent.bottom
                    anchors.margins: 10
                    focus: true
                    font.pixelSize: 18
                    textColor: "white"
                    placeholderText: "Search DCPs..."
                    style: TextFieldStyle {
                        textColor: "white"
                        placeholderTextColor: Global.SEARCH_PLACEHOLDER_COLOR
                        background: Rectangle {
                            color: Global.SEARCH_INPUT_BG_COLOR
                            radius: 2
                        }
                        // A steady cursor: a blinking one would redraw the window twice a
                        // second while nothing happens.
                        __cursorDelegate: Rectangle {
                            width: 2
                            color: "white"
                            visible: searchField.activeFocus
                        }
                    }
                    // Once per change of the text: keys that change nothing filter nothing.
                    onTextChanged: dcp_mgr.setSearchFilter(text)
                }
            }

            Item {
                anchors.left: parent.left
                anchors.right: parent.right
                anchors.top: searchBox.bottom
                anchors.bottom: parent.bottom
                anchors.topMargin: 7
                anchors.bottomMargin: 7

                CustomButton {
                    id: btnDate
                    objectName: "sortDateButton"
                    anchors.right: btnName.left
                    anchors.rightMargin: 15
                    anchors.verticalCenter: parent.verticalCenter
                    width: 60
                    text: "DATE"
                    onClicked: {
                        btnDate.state = Global.BTN_ACTIVE_STATE;
                        btnName.state = Global.BTN_DEFAULT_STATE;
                        dcp_mgr.sortDCPsBy("date");
                    }
                }

                CustomButton {
                    id: btnName
                    objectName: "sortNameButton"
                    anchors.right: parent.right
                    anchors.rightMargin: 10
                    anchors.verticalCenter: parent.verticalCenter
                    width: 60
                    text: "A-Z"
                    onClicked: {
                        btnName.state = Global.BTN_ACTIVE_STATE;
                        btnDate.state = Global.BTN_DEFAULT_STATE;
                        dcp_mgr.sortDCPsBy("name");
                    }
                }
            }
        }

        DelegateModel {
            id: visualModel
            model: dcp_mgr.dcps
            delegate: DcpDelegate {}
        }

        GridView {
            id: grid
            objectName: "grid"
            anchors.top: topBar.bottom
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.bottom: parent.bottom
            anchors.margins: 10
            cellWidth: 210
            cellHeight: 435
            clip: true
            model: visualModel.parts.browser
            visible: main_window_body.state === "all"
            onCurrentIndexChanged: detailsList.positionViewAtIndex(currentIndex, ListView.Contain)
        }

        // The grid's scroll bar, in the margin at its right, shown only while the cards do
        // not all fit: the handle tells which part of the grid is in view; dragging it (or
        // pressing the track) scrolls the grid.
        Item {
            id: gridScrollBar
            objectName: "gridScrollBar"
            anchors.left: grid.right
            anchors.leftMargin: 1
            anchors.top: grid.top
            anchors.bottom: grid.bottom
            width: 8
            visible: grid.visible && grid.contentHeight > grid.height

            // How far the grid is scrolled, from 0 (top) to 1 (bottom), and the room the
            // handle moves in.
            readonly property real range: Math.max(0, grid.contentHeight - grid.height)
            readonly property real fraction: range > 0 ? Math.max(0, Math.min(1, (grid.contentY - grid.originY) / range)) : 0
            readonly property real travel: height - gridScrollHandle.height

            function scrollTo(handleTop) {
                var f = travel > 0 ? Math.max(0, Math.min(1, handleTop / travel)) : 0;
                grid.contentY = grid.originY + f * range;
            }

            Rectangle {
                anchors.fill: parent
                radius: 4
                color: Global.SPACER_COLOR
            }

            Rectangle {
                id: gridScrollHandle
                objectName: "gridScrollHandle"
                width: parent.width
                y: gridScrollBar.fraction * gridScrollBar.travel
                height: Math.max(20, Math.min(1, grid.height / Math.max(1, grid.contentHeight)) * parent.height)
                radius: 4
                color: gridScrollArea.pressed ? Global.DCP_TITLE_COLOR : Global.BTN_ACTIVE_BG_COLOR
            }

            MouseArea {
                id: gridScrollArea
                // Wider than the bar, so that it is easy to hit.
                anchors.fill: parent
                anchors.leftMargin: -1
                anchors.rightMargin: -1
                property real grab: 0
                onPressed: {
                    grid.cancelFlick();
                    if (mouse.y >= gridScrollHandle.y && mouse.y < gridScrollHandle.y + gridScrollHandle.height)
                        grab = mouse.y - gridScrollHandle.y;
                    else
                        grab = gridScrollHandle.height / 2;
                    gridScrollBar.scrollTo(mouse.y - grab);
                }
                onPositionChanged: if (pressed) gridScrollBar.scrollTo(mouse.y - grab)
            }
        }

        Text {
            objectName: "emptyText"
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.topMargin: 150
            anchors.leftMargin: 20
            anchors.rightMargin: 20
            visible: grid.count === 0
            textFormat: Text.RichText
            wrapMode: Text.WordWrap
            color: "white"
            font.pixelSize: 14
            text: dcp_mgr.haveSearchFilter
                ? "<h4>No DCP(s) found</h4>"
                : "<h4>You are not downloading any DCPs yet. To start downloading please complete the following steps:</h4>"
                  + "<ul>"
                  + "<li>Click on \"Load File\" on the left.</li>"
                  + "<li>Select the small .orvdcp file you downloaded from the Tarn web portal. This is usually found in your Downloads folder. (Note: If you don't have it yet, click on \"LAUNCH &nbsp;TARN\" on the left, login, select your film and hit \"Download\". After the .orvdcp file downloads to your computer, please return to the first step).</li>"
                  + "<li>You will be asked where you want to save your DCP file to. Select your download location and hit save. Your download will begin.</li>"
                  + "<li><b>IMPORTANT</b>: If you plan to ingest your DCP using a USB hard drive DO NOT DOWNLOAD ONTO YOUR COMPUTER\u2019S LOCAL HARD DRIVE FIRST! Instead, download your DCP directly onto your USB hard drive so that Tolvane can verify your download and fix corruptions before you ingest.</li>"
                  + "<li>You can pause the download at any time by hitting pause or just quitting this application. When you open the application again the download will resume from where it left off.</li>"
                  + "<li>If you get stuck, give us a call during office hours on " + window.supportPhone + "</li>"
                  + "</ul>"
        }

        ListView {
            id: detailsList
            objectName: "detailsList"
            anchors.fill: parent
            model: visualModel.parts.fullscreen
            interactive: false
            visible: main_window_body.state === "details"
            highlightRangeMode: ListView.StrictlyEnforceRange
            preferredHighlightBegin: 0
            preferredHighlightEnd: height
            highlightMoveDuration: 0
            highlight: Rectangle { color: Global.DCP_DETAILS_BG_COLOR }
        }
    }

    // Over everything else while open: File > Speed Schedule.
    SpeedScheduleDialog {
        id: speedScheduleDialog
        objectName: "speedScheduleDialog"
        anchors.fill: parent
        z: 100
    }
}
