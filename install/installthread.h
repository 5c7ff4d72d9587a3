#pragma once

#include <QString>
#include <QStringList>
#include <QThread>

// Turns the downloaded package into an installed product on a worker thread: checks and unpacks
// the package with 7-Zip, makes the install folder ready, copies the package folder and the
// installer's distribution files into it, writes the bookkeeping files, registers the uninstaller
// and makes the links. The window writes the three fields before start() and never while it runs.
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

protected:
    void run() override;

private:
    // The steps of run(), in order; each failing step has reported its failure.
    bool unpack(const QString &unzipDir, quint64 shippedBytes);
    QStringList plannedFiles(const QString &appDir, const QStringList &packageFiles,
                             const QStringList &shipped) const;
    bool replaceEarlierInstallation(const QStringList &plannedFiles);
    bool copyFiles(const QString &sourceDir, const QStringList &paths, QStringList &installedFiles,
                   double span, double base);
    bool writeBookkeepingFiles(QStringList &installedFiles);
    bool registerUninstall();
    void createLinks();
    bool createStartMenuLink(const QString &target, const QString &linkName);
    void fail(Failure code);

    // Desktop link, start-menu link of the product, start-menu link of its uninstaller.
    static QStringList linkPaths();
    static QStringList distributionFiles();
    QString targetOf(const QString &sourceDir, const QString &path) const;
    // Every file under folder, depth first, subfolders before files, each by name.
    static void collectFiles(const QString &folder, QStringList &paths, QStringList &names);
    static void collectInto(const QString &folder, const QString &canonicalRoot, QStringList &paths,
                            QStringList &names);

    // What this run unpacked beside the archive, removed again after a failure.
    QStringList unpackedEntries;
};
