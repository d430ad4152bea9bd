.pragma library

// Colours, units, status texts and formatting shared by the window and its delegates.

var MAIN_BG_COLOR = "#0c0c0d";
var NAV_BAR_BG_COLOR = "#1c1c1f";
var NAV_BAR_BTN_COLOR = "#555555";
var NAV_TOP_BG_COLOR = "#0e1011";
var SPACER_COLOR = "#232324";
var SEARCH_SPACER_COLOR = "#484848";
var SEARCH_INPUT_BG_COLOR = "#333333";
var BTN_ACTIVE_BG_COLOR = "#545454";
var BTN_ACTIVE_STATE = "active";
var BTN_DEFAULT_STATE = "default";
var DCP_BG_COLOR = "#1f1f1f";
var DCP_TITLE_COLOR = "#cbcbcb";
var DCP_DETAILS_BG_COLOR = "#040404";
var DCP_DETAILS_BODY_COLOR = "#101011";
var DCP_DETAILS_MAIN_TITLE_COLOR = "#f20014";
var DCP_DETAILS_BTN_CLOSE_BG_COLOR = "#101011";
var DCP_DETAILS_BORDER_COLOR = "#17181a";
var DCP_DETAILS_REEL_NUMBER_COLOR = "#858585";
var DCP_DETAILS_REEL_SIZE_COLOR = "#ffffff";
var DCP_DETAILS_REEL_STATUS_COLOR = "#ffffff";
var RED = "#d5101d";
var ORANGE = "orange";

// Text colours that read at 4.5:1 or better against what lies behind them: the bar's text
// over its unfilled grey and over its white fill, the navigation labels on the navigation
// bar (and on its hover and active backgrounds), the search field's placeholder on its
// box (dimmer than typed text), a text over a RED mark, and a DCP page's main title (its
// red goes to a mark beside it).
var BAR_TEXT_LIGHT_COLOR = "#ffffff";
var BAR_TEXT_DARK_COLOR = "#000000";
var NAV_BAR_LABEL_COLOR = "#a0a0a0";
var NAV_BAR_LABEL_HIGHLIGHT_COLOR = "#ffffff";
var SEARCH_PLACEHOLDER_COLOR = "#a8a8a8";
var TEXT_ON_RED_COLOR = "#ffffff";
var DCP_DETAILS_MAIN_TITLE_TEXT_COLOR = "#ffffff";

var KILO_BYTE = 1024;
var MEGA_BYTE = 1024 * 1024;
var GIGA_BYTE = 1024 * 1024 * 1024;
// Bytes per second in one megabit and one gigabit per second.
var MEGA_BIT = 125000;
var GIGA_BIT = 125000000;

var STATUS_COMPLETE = 0;
var STATUS_SYNCING = 1;
var STATUS_DOWNLOADING = 2;
var STATUS_PENDING = 3;
var STATUS_VALIDATING = 4;
var STATUS_CORRUPTED = 5;
var STATUS_QUEUED_FOR_REDOWNLOAD = 6;

// Long texts for the reel lines, short ones for the cards, indexed by the numbers above.
var DCP_STATUSES = [
    "Completed",
    "Notifying, please wait",
    "Downloading",
    "Pending",
    "Validating, please wait",
    "Corrupted",
    "Queued for redownload"
];
var DCP_SHORT_STATUSES = [
    "Completed",
    "Notifying",
    "Downloading",
    "Pending",
    "Validating",
    "Failed",
    "Queued"
];

// A count the window can show: a finite number that is not negative; anything else
// (missing, NaN, Infinity, a text that is no number) counts as 0.
function countOrZero(value) {
    var number = Number(value);
    if (value === null || value === undefined || value === "" || !isFinite(number) || number < 0)
        return 0;
    return number;
}

function formatted(value, to_fixed) {
    var decimals = Number(to_fixed);
    if (to_fixed === undefined || to_fixed === null || !isFinite(decimals) || decimals <= 0)
        return value;
    return value.toFixed(Math.min(Math.floor(decimals), 20));
}

// The text of el padded with spaces to offset - 1 characters, before it ("left") or after
// it ("right"); a text already that wide comes back unchanged.
function pad(el, offset, side) {
    if (offset === undefined || offset === null || !isFinite(Number(offset)))
        offset = 2;
    if (side === undefined)
        side = "left";
    if (side !== "left" && side !== "right")
        return "Invalid padding side (left, right only available)";
    var text = (el === undefined || el === null) ? "" : String(el);
    var width = Math.floor(Number(offset)) - 1;
    if (text.length >= width)
        return text;
    var spaces = new Array(width - text.length + 1).join(" ");
    return side === "left" ? spaces + text : text + spaces;
}

// [value, unit] of a byte count: bytes, kB, MB or GB; with to_fixed, the value is its
// text with that many decimals.
function getUnit(bytes, to_fixed) {
    var value = countOrZero(bytes);
    var unit = "bytes";
    if (value >= GIGA_BYTE) {
        value = value / GIGA_BYTE;
        unit = "GB";
    } else if (value >= MEGA_BYTE) {
        value = value / MEGA_BYTE;
        unit = "MB";
    } else if (value >= KILO_BYTE) {
        value = value / KILO_BYTE;
        unit = "kB";
    }
    return [formatted(value, to_fixed), unit];
}

// [value, unit] of a speed in bytes per second: Mbps below one gigabit, Gbps from there.
function getSpeedAsMbps(bytes, to_fixed) {
    var value = countOrZero(bytes);
    if (value < GIGA_BIT)
        return [formatted(value / MEGA_BIT, to_fixed), "Mbps"];
    return [formatted(value / GIGA_BIT, to_fixed), "Gbps"];
}

// The status bar's text while a DCP downloads: time left at the measured speed and the
// speed. Without a usable speed (0, or none measured) no time can be given: dashes.
function remainingTimeText(remainingBytes, speed) {
    var remaining = countOrZero(remainingBytes);
    var rate = countOrZero(speed);
    var hours = "--", minutes = "--", secs = "--";
    if (rate > 0) {
        var seconds = remaining / rate;
        hours = Math.floor(seconds / 3600);
        minutes = Math.floor(seconds / 60) % 60;
        secs = Math.floor(seconds) % 60;
    }
    var shown = getSpeedAsMbps(rate, 2);
    return "Remaining time: " + pad(hours, 4) + "h " + pad(minutes, 3) + "m " + pad(secs, 3) + "s"
        + " (" + pad(shown[0], 8, "right") + shown[1] + ")";
}

// The file URL of a local folder for the desktop's file browser: "file:///" and the path
// on Windows, "file://" and the path elsewhere; the characters that would end a URL's
// path early are escaped.
function folderUrl(path, isWindows) {
    var escaped = String(path === undefined || path === null ? "" : path)
        .replace(/%/g, "%25").replace(/#/g, "%23").replace(/\?/g, "%3F");
    return (isWindows ? "file:///" : "file://") + escaped;
}
