#include "app/previousinstall.h"

QString checkAlreadyInstall()
{
    return QString();
}

void runPreviousUninstaller(const QString &storedCommand)
{
    Q_UNUSED(storedCommand)
}
