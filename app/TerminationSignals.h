#pragma once

class QCoreApplication;

// A system shutdown or the end of a session asks the program to end (SIGTERM, SIGHUP)
// before killing it: the program then ends through its clean end, as when the window is
// closed, instead of leaving its transfer and journal as a kill does.
namespace TerminationSignals {

// Makes SIGTERM and SIGHUP quit the application's event loop; call once, after the
// application object exists.
void install(QCoreApplication *app);

}
