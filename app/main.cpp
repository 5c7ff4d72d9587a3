#include "core/loghandler.h"
#include "core/product.h"
#include "core/translation.h"
#include "install/downloadfolder.h"
#include "install/installjournal.h"
#include "install/uninstallentry.h"
#include "install/userfolders.h"
#include "ui/kovrasetuponline.h"
#include "ui/qtsingleapplication.h"
#include "ui/uninstallerwait.h"

#include <QDir>
#include <QLockFile>
#include <QMessageBox>

int main(int argc, char **argv)
{
    // The window and the boxes grow with the display's scale (125, 150, 200 %), by the exact
    // factor: rounded to whole steps, the fixed-size frameless window would jump from 100 % to
    // 200 % at 150 % and stay small at 125 %. The images then come from their twice-size
    // drawings (@2x) where the scale is 1.5 or more.
    QApplication::setAttribute(Qt::AA_EnableHighDpiScaling);
    QApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    QApplication::setHighDpiScaleFactorRoundingPolicy(
        Qt::HighDpiScaleFactorRoundingPolicy::PassThrough);
    // The application object removes the toolkit's own options from argc/argv.
    QtSingleApplication app(QString::fromLatin1(Product::applicationId), argc, argv);
    if (app.isRunning()) {
        // Another copy of this brand runs: bring its window forward and leave without a trace.
        app.sendMessage(QStringLiteral("raise_window_noop"), 3000);
        return 0;
    }
    // The download and log folders are named after the installer, never after what its file was
    // saved as: "Trash" or "." would name another program's folder.
    QCoreApplication::setApplicationName(QLatin1String(Product::applicationName));

    loadTranslation();
    // Nothing is made while a per-user folder cannot be named as the system names it (a home
    // folder named in another encoding): it would be a new folder beside the real home.
    const QString unnameable = UserFolders::unnameable();
    QString refusal = unnameable.isEmpty()
                          ? QString()
                          : QObject::tr("language18").arg(QDir::toNativeSeparators(unnameable));
    // An installer of the other brand shares the download folder, which this run would clear
    // under its download or install: the user is told and this run ends, as when the folder or
    // its lock cannot be used, which gets its own message.
    const std::unique_ptr<QLockFile> downloadFolderLock =
        refusal.isEmpty() ? DownloadFolder::claim(&refusal) : nullptr;
    if (!downloadFolderLock) {
        QMessageBox::information(nullptr, QObject::tr("language2"), refusal, QMessageBox::Ok,
                                 QMessageBox::NoButton);
        return 0;
    }
    // An install that was cut short (the installer killed, the power gone) is taken back or
    // finished before anything else looks at the product folder or the uninstall entry.
    InstallJournal::recover();

    QMessageBox::information(nullptr, QObject::tr("language2"), QObject::tr("language9"),
                             QMessageBox::Ok, QMessageBox::NoButton);

    const QString uninstallCommand = checkAlreadyInstall();
    if (!uninstallCommand.isEmpty() &&
        QMessageBox::question(nullptr, QObject::tr("language2"), QObject::tr("language10"),
                              QMessageBox::Yes | QMessageBox::No,
                              QMessageBox::No) == QMessageBox::Yes) {
        runPreviousUninstaller(uninstallCommand);
    }

    const QString channel = argc >= 2 ? QString::fromUtf8(argv[1]) : QString();

    qInstallMessageHandler(logMessageHandler);

    int result = 0;
    {
        kovraSetupOnline window(nullptr);
        window.setChannel(channel);
        app.setActivationWindow(&window, true);
        window.show();
        result = app.exec();
    }
    return result;
}
