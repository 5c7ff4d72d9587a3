#include "install/userfolders.h"

#include "install/downloadfolder.h"
#include "platform/platform.h"

#include <QDebug>
#include <QStandardPaths>

namespace UserFolders {

QString unnameable()
{
    const QString folders[] = {
        DownloadFolder::path(),
        QStandardPaths::writableLocation(QStandardPaths::CacheLocation),
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation),
        QStandardPaths::writableLocation(QStandardPaths::DesktopLocation),
        QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation),
        Platform::defaultInstallRoot(),
    };
    for (const QString &folder : folders) {
        if (!Platform::namesFaithfully(folder)) {
            qDebug() << "a per-user folder that the system names otherwise:" << folder;
            return folder;
        }
    }
    return QString();
}

} // namespace UserFolders
