#pragma once

#include <QString>

// The uninstall command that an earlier installation of this product left in the uninstall
// list, or an empty string.
QString checkAlreadyInstall();

// Starts the stored uninstall command and waits, without a time limit, until it has ended.
void runPreviousUninstaller(const QString &storedCommand);
