#include "install/taskthread.h"

#include "core/product.h"

#include <QDebug>

TaskThread::TaskThread(QObject *parent)
    : QThread(parent)
    , downloadManager(new DownloadManager(this))
{
    connect(downloadManager, &DownloadManager::downLoadErr, this, &TaskThread::downLoadErr);
    connect(downloadManager, &DownloadManager::downLoadOK, this, &TaskThread::downLoadOK);
    connect(downloadManager, &DownloadManager::downProgress, this, &TaskThread::downProgress);
    lastProgress = 0;
}

TaskThread::~TaskThread()
{
    stop();
    delete downloadManager;
}

void TaskThread::setUrl(QString url)
{
    this->url = url;
}

void TaskThread::stop()
{
    if (!isRunning())
        return;
    if (QThread::currentThread() == this) {
        if (downloadManager)
            downloadManager->requestStop();
        return;
    }
    // A transfer clears the request as it begins, so a request that came just before is
    // repeated until the thread has ended.
    do {
        if (downloadManager)
            downloadManager->requestStop();
    } while (!wait(200));
}

void TaskThread::run()
{
    const QString fileName = QString::fromLatin1(Product::packageFileName);
    qDebug() << "load zip" << fileName;
    if (downloadManager) {
        // Reset through the event queue: progress of an earlier run still waiting there is
        // weighed against the old value, this run's progress against 0.
        QMetaObject::invokeMethod(
            this, [this] { lastProgress = 0; }, Qt::QueuedConnection);
        downloadManager->downLoadFile(url, fileName);
    } else {
        emit updateFailed(NoDownloader);
        qDebug() << "load zip failed,null" << fileName;
    }
}

void TaskThread::downLoadErr()
{
    qDebug() << "load update zip failed";
    emit updateFailed(TransferFailed);
}

void TaskThread::downLoadOK(QString path)
{
    qDebug() << "load update zip success" << path;
    emit updateSuccess(path);
}

void TaskThread::downProgress(double per)
{
    if (per - lastProgress >= 1.0) {
        lastProgress = per;
        emit updateProgress(per);
    }
}
