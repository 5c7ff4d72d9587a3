#include "app/previousinstall.h"

#include "app/product.h"
#include "platform/platform.h"

#include <QDebug>
#include <QProcess>
#include <QSettings>

QString checkAlreadyInstall()
{
    // The entry is named after the display name of the language the product was installed in.
    const QString displayName = QObject::tr(Product::displayNameKey);
    const std::unique_ptr<QSettings> entry =
        Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + displayName);
    const QString command = entry->value(QStringLiteral("UninstallString")).toString();
    qDebug() << "checkAlreadyInstall" << command;
    return command;
}

void runPreviousUninstaller(const QString &storedCommand)
{
    const QString program = Platform::uninstallProgram(storedCommand);
    qDebug() << program;
    // The stored command is one path, blanks included ("Program Files"): never split it.
    QProcess uninstaller;
    uninstaller.setProgram(program);
    uninstaller.start(QIODevice::ReadWrite);
    // Nothing is ever typed in: an uninstaller that reads its input gets end of input.
    uninstaller.closeWriteChannel();
    // Returns at once when it could not start; start-up then goes on.
    uninstaller.waitForFinished(-1);
}
