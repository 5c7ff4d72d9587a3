#pragma once

#include "install/archiveguard.h"
#include "install/installjournal.h"

#include <QString>
#include <QStringList>
#include <QThread>

// Turns the downloaded package into an installed product on a worker thread. It checks the
// package, unpacks it with 7-Zip into a staging folder beside the product folder, completes it
// there with the installer's distribution files and the bookkeeping files, then swaps it into
// place, registers the uninstaller and makes the links. The earlier installation is renamed
// aside and deleted only once the new one stands; any failure puts it back. The window writes
// the three fields before start() and never while it runs.
class InstallThread : public QThread
{
    Q_OBJECT

public:
    // Why an install stopped: the number the window shows and the server receives.
    enum Failure {
        ArchiveMissing = 1,
        PackageUnusable = 3,
        CannotWrite = 4,
    };

    explicit InstallThread(QObject *parent = nullptr);
    // Waits for a running install: a running thread is never destroyed.
    ~InstallThread() override;

    // Install folder with "/" separators and no trailing separator.
    QString installDir;
    // The downloaded package archive.
    QString archivePath;
    // Selects "Revanto_x64Minimal" or "Revanto_x86Minimal".
    bool is64Bit = true;

    // The product's name in the interface language, which names links and the uninstall entry.
    static QString displayName();

signals:
    void installProgress(double per);
    void installSuccess();
    void installFailed(int code);
    // The product runs from the earlier installation: nothing was changed, and installFailed(4)
    // follows.
    void productRunning();

protected:
    void run() override;

private:
    // The steps of run(), in order; each failing step has reported its failure.
    bool checkPackage(const ArchiveGuard::Listing &listing, const QStringList &shipped);
    bool unpack();
    bool copyFiles(const QString &sourceDir, const QStringList &paths, QStringList &installedFiles,
                   double span, double base);
    bool writeBookkeepingFiles(QStringList &installedFiles);
    bool swapIntoPlace();
    bool registerUninstall();
    bool createLinks();
    bool createStartMenuLink(const QString &target, const QString &linkName);
    // Emits installProgress when the whole percentage changes.
    void report(double per);
    void fail(Failure code);

    // Desktop link, start-menu link of the product, start-menu link of its uninstaller.
    static QStringList linkPaths();
    static InstallJournal::Registration registration();
    static QStringList distributionFiles();
    // Every file under folder, depth first, subfolders before files.
    static void collectFiles(const QString &folder, QStringList &paths);
    static void collectInto(const QString &folder, const QString &canonicalRoot,
                            QStringList &paths);

    // The product folder as the window gave it, the staging folder beside it and, inside that,
    // the package folder that becomes the product folder.
    QString m_productFolder;
    QString m_staging;
    QString m_staged;
    // Files of the package folder, by the listing: the unpack's progress counts them.
    int m_packageFileCount = 0;
    InstallJournal m_journal;
    bool m_journalBegun = false;
    // The whole percentage last reported.
    int m_reported = -1;
};
