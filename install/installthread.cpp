#include "install/installthread.h"

#include "app/channelmanager.h"
#include "app/product.h"
#include "install/archiveguard.h"
#include "platform/platform.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>
#include <QTextStream>

namespace {

// The installer's own executables: they stay out of the product folder.
const char *const installerNames[] = {"lumerixMasterInstaller.exe", "kovraSetupOnline.exe"};

} // namespace

InstallThread::InstallThread(QObject *parent)
    : QThread(parent)
{}

InstallThread::~InstallThread()
{
    // A thread object must outlive its run: closing the window waits for the install.
    wait();
}

QString InstallThread::displayName()
{
    return tr(Product::displayNameKey);
}

void InstallThread::run()
{
    emit installProgress(0);

    // An empty or relative folder would empty the working folder and copy to the root.
    if (QDir::isRelativePath(installDir)) {
        qDebug() << "installDir" << installDir << "is not an absolute folder";
        emit installFailed(4);
        return;
    }
    if (QFileInfo::exists(installDir))
        QDir(installDir).removeRecursively();
    QDir().mkpath(installDir);

    if (!QFileInfo::exists(archivePath)) {
        emit installFailed(1);
        return;
    }

    const QString unzipDir = QFileInfo(archivePath).path();
    qDebug() << "unzip dir" << unzipDir;
    const QStringList arguments{QStringLiteral("x"), archivePath, QStringLiteral("-o") + unzipDir,
                                QStringLiteral("-aoa")};
    qDebug() << "unzip" << arguments;

    const QString refusal = ArchiveGuard::check(archivePath);
    if (!refusal.isEmpty()) {
        qDebug() << "unzip failed" << archivePath << refusal;
        emit installFailed(3);
        return;
    }

    {
        QProcess sevenZip;
        sevenZip.start(Platform::sevenZipProgram(), arguments, QIODevice::ReadWrite);
        // Nothing is ever typed in: a password prompt gets end of input instead of waiting.
        sevenZip.closeWriteChannel();
        const bool finished = sevenZip.waitForFinished(-1);
        // 7-Zip keeps what it unpacked even when a file's data is damaged or the disk is full:
        // only an unpack it reports as good (1 is a warning) may be installed.
        if (!finished || sevenZip.exitStatus() != QProcess::NormalExit || sevenZip.exitCode() > 1) {
            qDebug() << "unzip failed" << archivePath
                     << (finished ? QStringLiteral("7-Zip exit code %1").arg(sevenZip.exitCode())
                                  : sevenZip.errorString());
            emit installFailed(3);
            return;
        }
        sevenZip.close();
    }

    const QString appDir = unzipDir + (is64Bit ? QStringLiteral("/Revanto_x64Minimal")
                                               : QStringLiteral("/Revanto_x86Minimal"));
    qDebug() << "app dir" << appDir;

    QStringList installedFiles;
    if (!copyFiles(appDir, installedFiles, 70, 0))
        return;
    if (!copyFiles(QCoreApplication::applicationDirPath(), installedFiles, 30, 70))
        return;

    const QString listPath = installDir + QStringLiteral("/Uninstall.list");
    installedFiles.append(listPath);

    const QString uninstallPath = installDir + QStringLiteral("/Uninstall");
    if (writeTextFile(uninstallPath,
                      Platform::folderRemovalCommand(Platform::nativeFolder(installDir))))
        installDir = Platform::nativeFolder(installDir);
    installedFiles.append(uninstallPath);

    ChannelManager *channel = ChannelManager::instance();
    const QString channelName = channel->channelName();
    const QString channelId = channel->channelId();

    const QString channelPath = installDir + QStringLiteral("/Qt5Encry.dll");
    if (writeTextFile(channelPath, channelName + QLatin1Char(',') + channel->channelToken() +
                                       QLatin1Char(',') + channelId))
        installDir = Platform::nativeFolder(installDir);
    installedFiles.append(channelPath);

    writeTextFile(listPath, installedFiles.join(QLatin1Char(',')) + QLatin1Char(','));

    createLinks();
    emit installSuccess();
}

bool InstallThread::writeTextFile(const QString &path, const QString &text)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) {
        qDebug() << "cannot write" << path << file.errorString();
        return false;
    }
    QTextStream stream(&file);
    stream.setCodec("UTF-8");
    stream << text;
    stream.flush();
    if (!file.commit())
        qDebug() << "cannot write" << path << file.errorString();
    return true;
}

void InstallThread::createLinks()
{
    const QString name = displayName();
    const QString product = installDir + QLatin1String(Product::productExecutable);
    const QString uninstaller = installDir + QLatin1String(Product::uninstallerExecutable);

    const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
    qDebug() << QFile::link(product, desktop + QLatin1Char('/') + name + QStringLiteral(".lnk"));
    qDebug() << createStartMenuLink(product, name + QStringLiteral(".lnk"));
    qDebug() << createStartMenuLink(uninstaller, tr("language8") + name + QStringLiteral(".lnk"));
    registerUninstall();
}

bool InstallThread::createStartMenuLink(const QString &target, const QString &linkName)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
                           QLatin1Char('/') + displayName();
    QDir dir(folder);
    if (!dir.exists())
        dir.mkdir(folder);
    if (!dir.exists())
        return false;
    return QFile::link(target, folder + QLatin1Char('/') + linkName);
}

void InstallThread::registerUninstall()
{
    const QString name = displayName();
    const QString product = installDir + QLatin1String(Product::productExecutable);
    const QString uninstaller = installDir + QLatin1String(Product::uninstallerExecutable);

    const std::unique_ptr<QSettings> entry =
        Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + name);
    entry->setValue(QStringLiteral("DisplayIcon"), product);
    entry->setValue(QStringLiteral("DisplayName"), name);
    entry->setValue(QStringLiteral("DisplayVersion"), QLatin1String(Product::version));
    entry->setValue(QStringLiteral("Publisher"), name);
    entry->setValue(QStringLiteral("UninstallString"), uninstaller);
}

void InstallThread::collectFiles(const QString &folder, QStringList &paths, QStringList &names)
{
    collectInto(folder, QFileInfo(folder).canonicalFilePath(), paths, names);
}

void InstallThread::collectInto(const QString &folder, const QString &canonicalRoot,
                                QStringList &paths, QStringList &names)
{
    QDir dir(folder);
    if (!dir.exists())
        return;
    const QFileInfoList entries =
        dir.entryInfoList(QDir::Dirs | QDir::Files, QDir::DirsFirst | QDir::Name);
    for (const QFileInfo &entry : entries) {
        const QString name = entry.fileName();
        if (name == QLatin1String(".") || name == QLatin1String(".."))
            continue;
        // A link must not bring in anything from outside the folder being installed, and a
        // linked folder could lead back into itself.
        if (entry.isSymLink() && (entry.isDir() || !entry.canonicalFilePath().startsWith(
                                                       canonicalRoot + QLatin1Char('/')))) {
            qDebug() << "link left out" << entry.filePath();
            continue;
        }
        if (entry.isDir()) {
            collectInto(entry.filePath(), canonicalRoot, paths, names);
        } else {
            paths.append(entry.filePath());
            names.append(name);
        }
    }
}

bool InstallThread::isLeftOut(const QString &path)
{
    for (const char *name : installerNames) {
        if (path.contains(QLatin1String(name)))
            return true;
    }
    // The running installer, whatever its file is called on this system. Only a file of its name
    // can be it, so the others cost no path resolution.
    const QString selfPath = QCoreApplication::applicationFilePath();
    if (QFileInfo(path).fileName() != QFileInfo(selfPath).fileName())
        return false;
    const QString self = QFileInfo(selfPath).canonicalFilePath();
    return !self.isEmpty() && QFileInfo(path).canonicalFilePath() == self;
}

bool InstallThread::copyFiles(const QString &sourceDir, QStringList &installedFiles, double span,
                              double base)
{
    QStringList paths;
    QStringList names;
    collectFiles(sourceDir, paths, names);
    qDebug() << "LSIT" << paths;
    if (paths.isEmpty()) {
        qDebug() << "unzip failed" << sourceDir;
        emit installFailed(3);
        return false;
    }

    const int n = paths.size();
    qDebug() << "installDir" << installDir << n;
    int k = 0;
    for (const QString &path : qAsConst(paths)) {
        if (isLeftOut(path))
            continue;
        const QString target = installDir + path.mid(path.indexOf(sourceDir) + sourceDir.size());
        const QString parent = QFileInfo(target).path();
        if (!QFileInfo::exists(parent))
            QDir().mkpath(parent);
        if (!Platform::copyFile(path, target)) {
            qDebug() << path << " =failed to= " << target;
            emit installFailed(4);
            return false;
        }
        ++k;
        emit installProgress(double(k) / double(n) * span + base);
        installedFiles.append(target);
    }
    return true;
}
