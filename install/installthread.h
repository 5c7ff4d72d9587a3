#pragma once

#include <QString>
#include <QStringList>
#include <QThread>

// Turns the downloaded package into an installed product on a worker thread: empties the
// install folder, unpacks the package with 7-Zip, copies the package folder and the installer's
// own folder into the install folder, writes the bookkeeping files, makes the links and the
// uninstall entry. The window writes the three fields before start() and never while it runs.
class InstallThread : public QThread
{
    Q_OBJECT

public:
    explicit InstallThread(QObject *parent = nullptr);
    ~InstallThread() override;

    // Install folder with "/" separators and no trailing separator.
    QString installDir;
    // The downloaded package archive.
    QString archivePath;
    // Selects "Revanto_x64Minimal" or "Revanto_x86Minimal".
    bool is64Bit = true;

    // Appends every file under folder, depth first, subfolders before files, each by name.
    static void collectFiles(const QString &folder, QStringList &paths, QStringList &names);
    // Copies every file under sourceDir into installDir, never overwriting; reports progress
    // from base to base + span. False after installFailed has been emitted.
    bool copyFiles(const QString &sourceDir, QStringList &installedFiles, double span, double base);
    // One link in the product's start-menu folder; true when the link was made.
    bool createStartMenuLink(const QString &target, const QString &linkName);
    // Writes the product's entry in the uninstall list.
    void registerUninstall();

    // The product's name in the interface language, which names links and the uninstall entry.
    static QString displayName();

signals:
    void installProgress(double per);
    void installSuccess();
    void installFailed(int code);

protected:
    void run() override;

private:
    static void collectInto(const QString &folder, const QString &canonicalRoot, QStringList &paths,
                            QStringList &names);
    static bool isLeftOut(const QString &path);
    bool writeTextFile(const QString &path, const QString &text);
    void createLinks();
};
