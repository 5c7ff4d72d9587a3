#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class QLockFile;

// Fetches one file over HTTP with libcurl into the per-user application-data folder: the body
// goes to "<name>_tmp" and is renamed to "<name>" when the transfer has succeeded.
class DownloadManager : public QObject
{
    Q_OBJECT

public:
    // Removes what an earlier run left in the download folder, and nothing else.
    explicit DownloadManager(QObject *parent = nullptr);
    ~DownloadManager() override;

    // Runs the whole transfer and returns when it has ended, after exactly one of downLoadErr()
    // and downLoadOK(path). A failed transfer leaves no file behind. Blocking: called on a worker
    // thread.
    void downLoadFile(QString url, QString fileName);

    // Ends the running transfer at its next progress check (about once a second even when no
    // data flows); it then reports downLoadErr(). Safe from any thread. Each transfer starts
    // with the request cleared.
    void requestStop();

signals:
    void downLoadErr();
    void downLoadOK(QString path);
    // Percent from 0 to 100; not emitted while the server has not announced the size.
    void downProgress(double per);

private:
    // libcurl's callbacks, which need the types of its header.
    friend struct Transfer;

    // Runs libcurl into tmpPath; empty when the body is there, otherwise why not.
    QString transfer(const QString &tmpPath);
    // Reports progress; false once a stop has been asked for.
    bool transferProgress(qint64 totalBytes, qint64 receivedBytes);

    QString downloadDir;
    QString fileName;
    QString tmpFileName;
    QString url;
    std::atomic_bool stopRequested{false};
};
