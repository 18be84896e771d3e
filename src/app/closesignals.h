#pragma once

class QWidget;

// SIGTERM, SIGINT and SIGHUP close the window as the operator would, so its unload
// handler runs and the settings are saved. Unix only; elsewhere it does nothing.
void closeOnTerminationSignals(QWidget *window);
