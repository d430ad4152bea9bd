import QtQuick 2.3
import QtQuick.Controls 1.2
import QtQuick.Controls.Styles 1.2
import "globals.js" as Global

// The operator's speed schedule: rows of days, from, to and a limit, over the window.
// Save stores them through speed_schedule.setRows, which refuses overlapping rows with a
// message shown here; Cancel leaves the stored schedule as it was.
Rectangle {
    id: dialog
    visible: false
    color: "#b0000000"

    readonly property var dayNames: ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]
    property string error: ""
    property string notice: ""

    function open() {
        rowsModel.clear();
        var rows = speed_schedule.rows;
        for (var i = 0; i < rows.length; ++i) {
            var days = "";
            for (var d = 1; d <= 7; ++d)
                days += rows[i].days.indexOf(d) >= 0 ? "1" : "0";
            rowsModel.append({ days: days, from: rows[i].from, to: rows[i].to,
                               mbps: rows[i].mbps === 0 ? "20" : String(rows[i].mbps),
                               unlimited: rows[i].mbps === 0 });
        }
        error = "";
        notice = speed_schedule.takeResetNotice();
        visible = true;
        forceActiveFocus();
    }

    function close() {
        visible = false;
        error = "";
        // Nothing of a closed dialog stays behind, not even for the accessibility bridge.
        rowsModel.clear();
    }

    function addRow() {
        rowsModel.append({ days: "0000000", from: "10:00", to: "23:00", mbps: "20", unlimited: false });
    }

    function save() {
        var rows = [];
        for (var i = 0; i < rowsModel.count; ++i) {
            var row = rowsModel.get(i);
            var days = [];
            for (var d = 0; d < 7; ++d) {
                if (row.days.charAt(d) === "1")
                    days.push(d + 1);
            }
            var mbps = 0;
            if (!row.unlimited) {
                mbps = /^[0-9]+$/.test(row.mbps.trim()) ? parseInt(row.mbps, 10) : -1;
                if (mbps < 1) {
                    error = "Row " + (i + 1) + " has a limit outside 1 to 200 Mbit/s";
                    return;
                }
            }
            rows.push({ days: days, from: row.from, to: row.to, mbps: mbps });
        }
        var result = speed_schedule.setRows(rows);
        if (result === "")
            close();
        else
            error = result;
    }

    Keys.onEscapePressed: close()

    // Nothing under the dialog takes a click or a wheel while it is open.
    MouseArea {
        anchors.fill: parent
        hoverEnabled: true
        onWheel: wheel.accepted = true
    }

    ListModel { id: rowsModel }

    Rectangle {
        objectName: "speedSchedulePanel"
        anchors.centerIn: parent
        width: 740
        height: content.height + 40
        color: Global.DCP_DETAILS_BODY_COLOR
        border.color: Global.BTN_ACTIVE_BG_COLOR
        border.width: 1
        radius: 4

        Column {
            id: content
            anchors.left: parent.left
            anchors.right: parent.right
            anchors.top: parent.top
            anchors.margins: 20
            spacing: 12

            Text {
                color: "white"
                font.pixelSize: 18
                text: "Speed schedule"
            }

            Text {
                objectName: "scheduleHint"
                width: parent.width
                wrapMode: Text.WordWrap
                color: Global.DCP_DETAILS_REEL_NUMBER_COLOR
                font.pixelSize: 13
                text: "e.g. Mon\u2013Fri 10:00\u201323:00 at 20 Mbit/s; outside the rows the slider's limit applies. "
                      + "A row that ends at or before its start runs past midnight into the next day; "
                      + "00:00\u201300:00 is the whole day. Moving the slider overrides the schedule until its next change."
            }

            Text {
                objectName: "scheduleResetNotice"
                visible: dialog.notice !== ""
                width: parent.width
                wrapMode: Text.WordWrap
                color: Global.ORANGE
                font.pixelSize: 13
                text: dialog.notice
            }

            Column {
                spacing: 8
                Repeater {
                    model: rowsModel
                    delegate: Row {
                        id: scheduleRow
                        objectName: "scheduleRow"
                        spacing: 6
                        property int rowIndex: index

                        Repeater {
                            model: 7
                            delegate: Rectangle {
                                objectName: "dayToggle" + (index + 1)
                                property bool on: days.charAt(index) === "1"
                                width: 40
                                height: 26
                                radius: 3
                                color: on ? Global.RED : "transparent"
                                border.width: 1
                                border.color: on ? Global.RED : Global.BTN_ACTIVE_BG_COLOR
                                Text {
                                    anchors.centerIn: parent
                                    color: "white"
                                    font.pixelSize: 12
                                    text: dialog.dayNames[index]
                                }
                                MouseArea {
                                    anchors.fill: parent
                                    cursorShape: Qt.PointingHandCursor
                                    onClicked: {
                                        var d = days;
                                        rowsModel.setProperty(scheduleRow.rowIndex, "days",
                                                              d.substring(0, index) + (parent.on ? "0" : "1") + d.substring(index + 1));
                                    }
                                }
                            }
                        }

                        TextField {
                            objectName: "fromField"
                            font.pixelSize: 13
                            width: 60
                            height: 26
                            text: from
                            placeholderText: "HH:MM"
                            onTextChanged: if (text !== from) rowsModel.setProperty(scheduleRow.rowIndex, "from", text)
                            style: TextFieldStyle {
                                textColor: "white"
                                placeholderTextColor: Global.DCP_DETAILS_REEL_NUMBER_COLOR
                                background: Rectangle { color: Global.SEARCH_INPUT_BG_COLOR; radius: 2 }
                            }
                        }

                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            color: "white"
                            font.pixelSize: 13
                            text: "\u2013"
                        }

                        TextField {
                            objectName: "toField"
                            font.pixelSize: 13
                            width: 60
                            height: 26
                            text: to
                            placeholderText: "HH:MM"
                            onTextChanged: if (text !== to) rowsModel.setProperty(scheduleRow.rowIndex, "to", text)
                            style: TextFieldStyle {
                                textColor: "white"
                                placeholderTextColor: Global.DCP_DETAILS_REEL_NUMBER_COLOR
                                background: Rectangle { color: Global.SEARCH_INPUT_BG_COLOR; radius: 2 }
                            }
                        }

                        TextField {
                            objectName: "limitField"
                            font.pixelSize: 13
                            width: 45
                            height: 26
                            enabled: !unlimited
                            opacity: unlimited ? 0.4 : 1
                            text: mbps
                            onTextChanged: if (text !== mbps) rowsModel.setProperty(scheduleRow.rowIndex, "mbps", text)
                            style: TextFieldStyle {
                                textColor: "white"
                                background: Rectangle { color: Global.SEARCH_INPUT_BG_COLOR; radius: 2 }
                            }
                        }

                        Text {
                            anchors.verticalCenter: parent.verticalCenter
                            color: "white"
                            font.pixelSize: 13
                            text: "Mbit/s"
                        }

                        Rectangle {
                            objectName: "unlimitedToggle"
                            width: 80
                            height: 26
                            radius: 3
                            color: unlimited ? Global.RED : "transparent"
                            border.width: 1
                            border.color: unlimited ? Global.RED : Global.BTN_ACTIVE_BG_COLOR
                            Text {
                                anchors.centerIn: parent
                                color: "white"
                                font.pixelSize: 12
                                text: "Unlimited"
                            }
                            MouseArea {
                                anchors.fill: parent
                                cursorShape: Qt.PointingHandCursor
                                onClicked: rowsModel.setProperty(scheduleRow.rowIndex, "unlimited", !unlimited)
                            }
                        }

                        CustomButton {
                            objectName: "removeScheduleRow"
                            width: 70
                            height: 26
                            text: "Remove"
                            onClicked: rowsModel.remove(scheduleRow.rowIndex)
                        }
                    }
                }
            }

            Text {
                objectName: "scheduleError"
                visible: dialog.error !== ""
                width: parent.width
                wrapMode: Text.WordWrap
                color: Global.RED
                font.pixelSize: 13
                text: dialog.error
            }

            Item {
                width: parent.width
                height: 35

                CustomButton {
                    objectName: "addScheduleRow"
                    anchors.left: parent.left
                    width: 110
                    text: "Add row"
                    onClicked: dialog.addRow()
                }
                CustomButton {
                    objectName: "cancelSchedule"
                    anchors.right: saveButton.left
                    anchors.rightMargin: 15
                    width: 100
                    text: "Cancel"
                    onClicked: dialog.close()
                }
                CustomButton {
                    id: saveButton
                    objectName: "saveSchedule"
                    anchors.right: parent.right
                    width: 100
                    text: "Save"
                    color: Global.RED
                    onClicked: dialog.save()
                }
            }
        }
    }
}
