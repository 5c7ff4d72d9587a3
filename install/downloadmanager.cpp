#include "install/downloadmanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QStandardPaths>

#include <curl/curl.h>

#include <memory>

struct TransferCallbacks
{
    // A short write (disk full) makes libcurl end the transfer with a write error.
    static size_t writeData(char *data, size_t size, size_t count, void *file)
    {
        const qint64 bytes = qint64(size * count);
        return static_cast<QFile *>(file)->write(data, bytes) == bytes ? count : 0;
    }

    // Non-zero ends the transfer.
    static int progress(void *manager, curl_off_t totalBytes, curl_off_t receivedBytes, curl_off_t,
                        curl_off_t)
    {
        return static_cast<DownloadManager *>(manager)->transferProgress(totalBytes, receivedBytes)
                   ? 0
                   : 1;
    }
};

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
    , downloadDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
{
    qDebug() << downloadDir;
    // Without an application name the location is the user's whole data folder (and an empty
    // path the working folder): only the installer's own folder is ever emptied.
    if (downloadDir.isEmpty() || QCoreApplication::applicationName().isEmpty()) {
        qDebug() << "download dir left as it is";
        return;
    }
    QDir dir(downloadDir);
    if (dir.exists())
        dir.removeRecursively();
    dir.mkpath(QStringLiteral("."));
}

DownloadManager::~DownloadManager() = default;

void DownloadManager::requestStop()
{
    stopRequested = true;
}

void DownloadManager::downLoadFile(QString url, QString fileName)
{
    this->url = url;
    this->fileName = fileName;
    tmpFileName = fileName + QStringLiteral("_tmp");
    stopRequested = false;

    const QString tmpPath = downloadDir + QLatin1Char('/') + tmpFileName;
    if (QFile::exists(tmpPath))
        QFile::remove(tmpPath);
    const QString finalPath = downloadDir + QLatin1Char('/') + fileName;
    if (QFile::exists(finalPath))
        QFile::remove(finalPath);

    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                   &curl_easy_cleanup);
    if (!curl) {
        qDebug() << "download failed: no transfer handle";
        emit downLoadErr();
        return;
    }

    // Unbuffered, so that a full disk fails the very write libcurl is waiting for.
    QFile file(tmpPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        qDebug() << "download failed: cannot write" << tmpPath << file.errorString();
        emit downLoadErr();
        return;
    }

    const QByteArray urlBytes = url.toUtf8();
    CURL *handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 30L);
    // A server that stops sending would otherwise hold the progress page, whose close icon is
    // hidden, for ever: half a minute without a byte fails the transfer, like the connect limit.
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, 30L);
    curl_easy_setopt(handle, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &TransferCallbacks::writeData);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &file);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &TransferCallbacks::progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    // An error page is not the package: its body is not even written.
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    // Fewer, larger reads and writes: with libcurl's 16 KiB default a package download costs a
    // quarter more time than the curl tool, which reads 100 KiB at a time.
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 512L * 1024);

    const CURLcode result = curl_easy_perform(handle);
    file.close();
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    // The status is checked as well: an error status can pass the option above (authentication).
    if (result != CURLE_OK || status >= 400) {
        if (result == CURLE_ABORTED_BY_CALLBACK)
            qDebug() << "download stopped";
        else
            qDebug() << "download failed:" << curl_easy_strerror(result) << "status" << status;
        emit downLoadErr();
        return;
    }

    // Success must name a file that is there.
    if (!QFile::rename(tmpPath, finalPath)) {
        qDebug() << "download failed: cannot rename" << tmpPath << "to" << finalPath;
        emit downLoadErr();
        return;
    }
    emit downLoadOK(finalPath);
}

bool DownloadManager::transferProgress(qint64 totalBytes, qint64 receivedBytes)
{
    if (stopRequested)
        return false;
    // Until the server has announced the size there is no percentage to report.
    if (totalBytes > 0)
        emit downProgress(qBound(0.0, receivedBytes * 100.0 / totalBytes, 100.0));
    return true;
}
