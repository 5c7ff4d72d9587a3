#include "platform/platform.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSettings>
#include <QStandardPaths>

#include <windows.h>

#include <shellapi.h>

// The real Windows interfaces: the registry, drive letters, GetDiskFreeSpaceExW and wmic.
namespace Platform {

std::unique_ptr<QSettings> openUninstallEntry(const QString &keyPath)
{
    return std::make_unique<QSettings>(keyPath, QSettings::NativeFormat);
}

QString nativeFolder(const QString &folder)
{
    QString native = folder;
    return native.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

QString folderRemovalCommand(const QString &nativeFolder)
{
    return QStringLiteral("rd/s/q \"") + nativeFolder + QLatin1Char('"');
}

QString uninstallProgram(const QString &storedCommand)
{
    QString program = storedCommand;
    return program.replace(QLatin1Char('/'), QLatin1Char('\\'));
}

bool copyFile(const QString &source, const QString &target)
{
    // The system's own CopyFile.
    return QFile::copy(source, target);
}

Qt::CaseSensitivity fileNameCase()
{
    return Qt::CaseInsensitive;
}

QString applicationsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
}

QString sevenZipProgram()
{
    // Named without a path: Windows looks in the installer's own folder first.
    return QStringLiteral("7z.exe");
}

void startProduct(const QString &executablePath)
{
    // What opening the file in the shell does, without the GUI module.
    const QString native = QDir::toNativeSeparators(executablePath);
    ShellExecuteW(nullptr, L"open", reinterpret_cast<LPCWSTR>(native.utf16()), nullptr, nullptr,
                  SW_SHOWNORMAL);
}

QStringList driveRoots()
{
    QStringList roots;
    const QFileInfoList drives = QDir::drives();
    for (const QFileInfo &drive : drives)
        roots.append(drive.absoluteDir().absolutePath());
    return roots;
}

QString driveKey(const QString &path)
{
    return path.left(1);
}

quint64 freeBytes(const QString &rootPath)
{
    ULARGE_INTEGER available, total, totalFree;
    available.QuadPart = total.QuadPart = totalFree.QuadPart = 0;
    GetDiskFreeSpaceExW(reinterpret_cast<LPCWSTR>(rootPath.utf16()), &available, &total,
                        &totalFree);
    return totalFree.QuadPart;
}

QString defaultInstallRoot()
{
    const QString temp = QStandardPaths::writableLocation(QStandardPaths::TempLocation);
    return temp.left(1) + QStringLiteral(":/Program Files");
}

QString runMachineQuery(const QString &commandLine)
{
    QProcess process;
    QStringList arguments = QProcess::splitCommand(commandLine);
    const QString program = arguments.isEmpty() ? QString() : arguments.takeFirst();
    process.start(program, arguments, QIODevice::ReadWrite);
    process.waitForFinished(30000);
    const QString output = QString::fromUtf8(process.readAllStandardOutput());
    process.close();
    return output;
}

} // namespace Platform
