#pragma once

#include <QString>

#include <functional>

// Calls from the window into the managers end here. An exception must never unwind
// through Qt's event loop (nothing above the call could handle it): it is logged with the
// caller's own log line, shown in a Critical box that says what did not happen, and the
// call returns false. The managers change memory only after the database agreed, so a
// call that failed leaves the catalogue as the database has it.
namespace WindowCall {

// logLine: the log text before the error, e.g. "[DCPManager] loadDCPFromFile failed:".
// failureText: what the user reads, e.g. "The package could not be loaded.".
bool guard(const char *logLine, const QString &failureText, const std::function<void()> &call);

}
