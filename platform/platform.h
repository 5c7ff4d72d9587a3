#pragma once

#include <QFile>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <Qt>
#include <QtGlobal>

#include <memory>

class QSettings;

// The thin layer between the installer and the operating system. Windows gets the real
// interfaces; other systems get stand-ins that keep the same observable behaviour. Nothing
// outside this folder asks which system it runs on.
namespace Platform {

// --- Uninstall list -------------------------------------------------------------------------

// Opens the uninstall list entry at keyPath (Product::uninstallKeyRoot + display name).
// Values are written when the returned object is destroyed.
std::unique_ptr<QSettings> openUninstallEntry(const QString &keyPath);

// The install folder in the form the bookkeeping files, links and the uninstall entry use:
// backslashes on Windows, unchanged elsewhere.
QString nativeFolder(const QString &folder);

// A line for the system's shell that removes nativeFolder with everything in it
// ("Uninstall" file of the install folder).
QString folderRemovalCommand(const QString &nativeFolder);

// The stored uninstall command as a program path that can be started.
QString uninstallProgram(const QString &storedCommand);

// --- Files --------------------------------------------------------------------------------

// Copies one file as QFile::copy does: never over an existing target, the source's permissions
// kept, and no partial target left behind after a failure. Unlike the toolkit's portable copy on
// Linux, it does not sync each file to disk on its own.
bool copyFile(const QString &source, const QString &target);

// How the system compares file names: without case on Windows.
Qt::CaseSensitivity fileNameCase();

// True when the system can name path: not too long as a whole, and no name in it too long.
bool pathFits(const QString &path);

// True when path, as the toolkit gives it, names the place the system means. Linux names are
// bytes: one that is no text in the locale's encoding reaches the toolkit with replacement
// characters, and a path made from it names a new folder beside the real one. Windows names are
// text.
bool namesFaithfully(const QString &path);

enum class FolderClaim { Private, Foreign, Failed };

// Makes the existing folder one that only the installer can change, for what it checks there and
// later trusts (the package): on Windows owned by Administrators, only they and the system may
// write, the user may read; elsewhere only its owner has access (mode 0700). The folder is judged
// and changed through one open handle, so what lies at the name cannot change in between.
// Foreign, with nothing changed, when another account owns it or anyone else may change it (it
// may hold what they put there), or when it is a link. On Windows the folder is then held open
// until the installer ends: Windows renames neither it nor a folder above it while it is open.
FolderClaim makePrivate(const QString &folder);

enum class FolderMove { Moved, InUse, Failed };

// Renames a folder (or a link) within its drive, never over something that exists. InUse, with
// nothing changed, while the product runs from it: Windows refuses to rename a folder whose
// files a running program holds; elsewhere a running process whose executable lies in it counts.
FolderMove moveFolder(const QString &from, const QString &to);

// The per-user desktop folder; created where a new account may not have it yet.
QString desktopFolder();

// The per-user start-menu programs folder; created where a new account may not have it yet.
QString applicationsFolder();

// --- Tools and programs ---------------------------------------------------------------------

// The 7-Zip command-line program: beside the installer first, else the system's.
QString sevenZipProgram();

// A helper program the installer waits for (7-Zip): it ends when the installer ends, however the
// installer ends, so nothing goes on writing after a kill.
class BoundProcess : public QProcess
{
public:
    BoundProcess();
    ~BoundProcess() override;

    // The name under which the started program reads the file at path: none of the path's
    // characters reach it, so a program that reads "*" and "?" as patterns finds this file only.
    // Empty when the file cannot be opened. Call before startBound().
    QString passFile(const QString &path);
    // Starts the program, reading and writing; false when it could not be started.
    bool startBound(const QString &program, const QStringList &arguments);

protected:
    void setupChildProcess() override;

private:
    QFile m_passed;
    int m_passedHandle = -1;
    qint64 m_installerPid = 0;
};

// Starts the installed product, detached from the installer.
void startProduct(const QString &executablePath);

// A program together with every process it starts in turn: an uninstaller that hands its work to
// a copy of itself and ends at once still runs for as long as the copy does, and ends with it.
class ProcessTree
{
public:
    ProcessTree();
    ~ProcessTree();
    ProcessTree(const ProcessTree &) = delete;
    ProcessTree &operator=(const ProcessTree &) = delete;

    // Starts program, whole even with blanks in its path, with its input closed; false when it
    // cannot be started.
    bool start(const QString &program);
    // True while the program or anything it started runs.
    bool isRunning();
    // Ends the program and everything it started.
    void kill();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

// --- Drives and free space ------------------------------------------------------------------

// Root paths of every drive (Windows) or mounted, ready volume.
QStringList driveRoots();

// The key under which free space of the drive holding path is recorded: the drive letter on
// Windows, the root path of the volume elsewhere.
QString driveKey(const QString &path);

// Total free bytes of the drive with that root path; 0 when unknown.
quint64 freeBytes(const QString &rootPath);

// The folder the product folder is created in by default.
QString defaultInstallRoot();

// --- Machine identifier sources -------------------------------------------------------------

// Raw output of one machine query, as `wmic` prints it: "wmic csproduct get UUID" gives the
// system UUID, "wmic cpu get processorid" the processor id (each at most 30 s).
QString runMachineQuery(const QString &commandLine);

} // namespace Platform
