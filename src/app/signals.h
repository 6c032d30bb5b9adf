// SPDX-License-Identifier: GPL-3.0-or-later
// Ending on SIGTERM, SIGINT and SIGHUP (a logout, a kill, Ctrl+C).
#pragma once

class QApplication;

namespace app {

// Installs the handlers.  A signal ends the program in whatever state it is:
// the close handlers of the main window run (sound stopped, an open take
// abandoned, the temporary take deleted), every message box and dialog goes
// away with the answer that changes nothing, and the program ends with
// status 0, as closing the window ends it.
void EndOnSignals(QApplication& app);

// True once a signal arrived.  main() then does not enter its event loop.
bool EndRequested();

// Ends the program as a signal does; once only, later calls do nothing.
// Called on the UI thread, from any event loop.
void EndNow();

}  // namespace app
