#pragma once

#include <QString>

// Starts the stored uninstall command of the earlier installation and waits until it has ended,
// in view: after a moment a box says that the installer waits for it and for how long at most,
// and lets the user go on at once. An uninstaller still running then is ended, so that it cannot
// remove what this install is about to place.
void runPreviousUninstaller(const QString &storedCommand);
