#pragma once

class QCoreApplication;

// SIGTERM, SIGINT and SIGHUP (a session logout, Ctrl+C) end the run the way Quit does,
// through the event loop, so cancellations and pending keychain writes still happen.
void quitOnSignals(QCoreApplication &app);
