#pragma once

#include "install/downloadmanager.h"

#include <QPointer>
#include <QString>
#include <QThread>

// Downloads the product package off the GUI thread and passes the results on to the window,
// progress thinned to steps of at least one percentage point.
class TaskThread : public QThread
{
    Q_OBJECT

public:
    // Why a download stopped: the number the window shows and the server receives.
    enum Failure {
        TransferFailed = 0,
        NoDownloader = -100,
    };

    // Creates the download manager, which empties the download folder.
    explicit TaskThread(QObject *parent = nullptr);
    // Ends a running download and waits for it: a running thread is never destroyed.
    ~TaskThread() override;

    void setUrl(QString url);

    // Ends a running download and returns once the thread has finished (about a second at
    // most); the download then reports updateFailed(0) through the event queue. Does nothing
    // when no download runs. For the window's close handling.
    void stop();

signals:
    void updateProgress(double per);
    void updateSuccess(QString temppath);
    void updateFailed(int code);

public slots:
    void downLoadErr();
    void downLoadOK(QString path);
    void downProgress(double per);

protected:
    void run() override;

private:
    QPointer<DownloadManager> downloadManager;
    double lastProgress = 0;
    QString url;
};
