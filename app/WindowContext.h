#pragma once

class QQmlEngine;

namespace WindowContext {

// Gives the window's QML what it reads before main.qml is loaded: the managers as the
// context properties download_mgr, dcp_mgr, settings_mgr and speed_schedule, and the
// cover store behind "image://cover/".
void expose(QQmlEngine &engine);

}
