#pragma once

class QWidget;

// Holds SIGTERM, SIGINT and SIGHUP back until closeOnTerminationSignals() is in place, so one
// that comes while the program starts is taken then, and the close runs as usual.
void holdTerminationSignals();

// SIGTERM, SIGINT and SIGHUP close the window as the operator would, so its unload
// handler runs and the settings are saved, and end the event loop (the window may never have
// been shown). Then lets through the signals held back. Unix only; elsewhere it does nothing.
void closeOnTerminationSignals(QWidget *window);
