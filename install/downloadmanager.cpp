#include "install/downloadmanager.h"

#include "install/downloadfolder.h"
#include "install/packagesignature.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <curl/curl.h>

#include <mutex>

namespace {

// No byte for this long, across redirects too, fails the transfer, like the connect limit: the
// progress page hides its close icon, so a silent server would otherwise hold the user for ever.
constexpr qint64 noDataLimitMs = 30000;
// Slower than this for a minute is a trickle no user would wait for: it fails like a stall.
constexpr long speedFloorBytesPerSecond = 1024;
constexpr long speedFloorSeconds = 60;
// As many redirects as a browser follows.
constexpr long maxRedirects = 20;

} // namespace

// One running transfer: where the body goes and the time since the last byte came.
struct Transfer
{
    explicit Transfer(DownloadManager *manager)
        : manager(manager)
    {}

    DownloadManager *manager;
    // The package goes to the file, hashed on the way when it is signed; the signature's
    // file (limit at least 0) goes to memory, and nothing about it shows as progress.
    QFile file;
    PackageSignature *signature = nullptr;
    QByteArray memory;
    qint64 memoryLimit = -1;
    QElapsedTimer sinceData;
    QString abortReason;

    // A short write (disk full) makes libcurl end the transfer with a write error.
    static size_t write(char *data, size_t size, size_t count, void *transfer)
    {
        auto *self = static_cast<Transfer *>(transfer);
        const qint64 bytes = qint64(size * count);
        self->sinceData.start();
        if (self->memoryLimit >= 0) {
            if (self->memory.size() + bytes > self->memoryLimit) {
                self->abortReason = QStringLiteral("larger than %1 bytes").arg(self->memoryLimit);
                return 0;
            }
            self->memory.append(data, int(bytes));
            return count;
        }
        if (self->file.write(data, bytes) != bytes)
            return 0;
        // The hash is taken as the bytes pass: the package is never read a second time.
        if (self->signature)
            self->signature->addData(data, bytes);
        return count;
    }

    // Non-zero ends the transfer.
    static int progress(void *transfer, curl_off_t totalBytes, curl_off_t receivedBytes, curl_off_t,
                        curl_off_t)
    {
        auto *self = static_cast<Transfer *>(transfer);
        const bool reports = self->memoryLimit < 0;
        if (!self->manager->transferProgress(reports ? totalBytes : 0, receivedBytes))
            self->abortReason = QStringLiteral("stopped");
        else if (self->sinceData.hasExpired(noDataLimitMs))
            self->abortReason = QStringLiteral("no data for %1 s").arg(noDataLimitMs / 1000);
        return self->abortReason.isEmpty() ? 0 : 1;
    }
};

DownloadManager::DownloadManager(QObject *parent)
    : QObject(parent)
    , downloadDir(DownloadFolder::path())
{
    qDebug() << downloadDir;
    DownloadFolder::clear();
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
    const QString finalPath = downloadDir + QLatin1Char('/') + fileName;
    // What lies at either name goes, a link as a link (one that leads nowhere too): nothing is
    // ever written or renamed through one.
    for (const QString &path : {tmpPath, finalPath}) {
        const QFileInfo left(path);
        if (left.exists() || left.isSymLink())
            QFile::remove(path);
    }

    std::unique_ptr<PackageSignature> signature;
    QString failure;
    if (publicKey.isEmpty()) {
        static std::once_flag said;
        std::call_once(said,
                       [] { qDebug() << "no public key built in: packages are not checked"; });
    } else {
        signature = std::make_unique<PackageSignature>(publicKey);
        failure = fetchSignature(*signature);
    }
    if (failure.isEmpty())
        failure = fetchPackage(tmpPath, signature.get());
    if (failure.isEmpty() && !QFile::rename(tmpPath, finalPath))
        failure = QStringLiteral("cannot rename to ") + finalPath;
    if (!failure.isEmpty()) {
        qDebug() << "download failed:" << failure;
        // A partial package is of no use to anyone: its space comes back at once.
        QFile::remove(tmpPath);
        emit downLoadErr();
        return;
    }
    // Success always names a file that is there.
    emit downLoadOK(finalPath);
}

QString DownloadManager::fetchSignature(PackageSignature &signature)
{
    Transfer file(this);
    file.memoryLimit = PackageSignature::maxFileBytes;
    const QString failure = transfer(url + QStringLiteral(".minisig"), file);
    if (!failure.isEmpty())
        return QStringLiteral("signature not fetched: ") + failure;
    const PackageSignature::Verdict verdict = signature.readSignature(file.memory);
    return verdict.accepted ? QString() : QStringLiteral("signature refused: ") + verdict.reason;
}

QString DownloadManager::fetchPackage(const QString &tmpPath, PackageSignature *signature)
{
    Transfer package(this);
    package.signature = signature;
    package.file.setFileName(tmpPath);
    // Unbuffered, so that a full disk fails the very write libcurl is waiting for. A new file: one
    // left there that could not be removed may be held open by someone who could write it later.
    if (!package.file.open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return QStringLiteral("cannot write ") + tmpPath + QLatin1Char(' ') +
               package.file.errorString();
    const QString failure = transfer(url, package);
    package.file.close();
    if (!failure.isEmpty() || !signature)
        return failure;
    const PackageSignature::Verdict verdict = signature->verifyPackage(tmpPath);
    if (!verdict.accepted)
        return QStringLiteral("package refused: ") + verdict.reason;
    qDebug() << "package signature verified, trusted comment:" << signature->trustedComment();
    return QString();
}

QString DownloadManager::transfer(const QString &address, Transfer &transfer)
{
    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                   &curl_easy_cleanup);
    if (!curl)
        return QStringLiteral("no transfer handle");

    const QByteArray urlBytes = address.toUtf8();
    CURL *handle = curl.get();
    curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, 30L);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_LIMIT, speedFloorBytesPerSecond);
    curl_easy_setopt(handle, CURLOPT_LOW_SPEED_TIME, speedFloorSeconds);
    curl_easy_setopt(handle, CURLOPT_URL, urlBytes.constData());
    curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &Transfer::write);
    curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &Transfer::progress);
    curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(handle, CURLOPT_MAXREDIRS, maxRedirects);
    // An error page is not the package: its body is not even written.
    curl_easy_setopt(handle, CURLOPT_FAILONERROR, 1L);
    // Fewer, larger reads and writes: with libcurl's 16 KiB default a package download costs a
    // quarter more time than the curl tool, which reads 100 KiB at a time.
    curl_easy_setopt(handle, CURLOPT_BUFFERSIZE, 512L * 1024);
    // The server's certificate and name are checked against the system's trusted ones (libcurl's
    // default, stated so that it stays); only the web's own schemes, and never down from https:
    // a redirect must not take the package off the channel that protects it.
    const bool secure = address.startsWith(QLatin1String("https://"), Qt::CaseInsensitive);
    if (curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, 1L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, 2L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https") != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https") !=
            CURLE_OK)
        return QStringLiteral("cannot restrict the transfer to trusted http(s)");

    transfer.sinceData.start();
    const CURLcode result = curl_easy_perform(handle);
    long status = 0;
    curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status);
    if (!transfer.abortReason.isEmpty())
        return transfer.abortReason;
    // The status is checked as well: an error status can pass the option above (authentication),
    // and a body that comes with any other status than 200 (a redirect without a place to go, no
    // content, a part) is not the file.
    if (result != CURLE_OK || status != 200)
        return QString::fromUtf8(curl_easy_strerror(result)) + QStringLiteral(", status ") +
               QString::number(status);
    return QString();
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
