// Runs one operation of the installer's engine and exits; tools/benchmark.py times it against
// the plain tools. The engine works as in the installer: the download folder, the log folder and
// the links follow HOME, so the benchmark points HOME at a folder of its own.
//
//   kovra_bench download URL [PUBLIC_KEY]     fetch URL with the download task thread; with a
//                                              minisign public key line, URL.minisig first, and
//                                              the package verified with it
//   kovra_bench install ARCHIVE INSTALL_DIR   unpack and copy with the install thread
//   kovra_bench download-install URL INSTALL_DIR
//                                              both, one after the other, as an install does
//   kovra_bench log LINES THREADS             LINES lines from each of THREADS threads through
//                                              the log handler
//   kovra_bench check ARCHIVE                 the package check that comes before unpacking
//
// Prints "name value" lines: seconds (the operation alone, up to its outcome as the window sees
// it, without this program's start and exit), bytes, lines_per_second, peak_rss_kib (the engine's
// own resident memory high-water mark, from /proc/self/status). Exit status 0 on success.

#include "core/loghandler.h"
#include "install/archiveguard.h"
#include "install/downloadmanager.h"
#include "install/installthread.h"
#include "install/sevenzip.h"
#include "install/taskthread.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QThread>
#include <QVariant>

#include <cstdio>
#include <memory>
#include <vector>

namespace {

// From the operation's start; the time its outcome came, as the window sees it: an install's
// clean-up after its success (the package's deletion) runs while the finished page shows.
QElapsedTimer g_clock;
qint64 g_outcomeNs = -1;

void say(const QString &name, const QString &value)
{
    QTextStream(stdout) << name << ' ' << value << '\n' << Qt::flush;
}

// VmHWM: the most resident memory this process has had.
qint64 peakResidentKib()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return -1;
}

// Turns the event loop until the thread's outcome signal has arrived: the results of the
// download reach the main thread queued, as they reach the window.
template<typename Thread, typename Success, typename Failure>
bool runToOutcome(Thread &thread, Success success, Failure failure, QString *detail)
{
    QEventLoop loop;
    bool succeeded = false;
    QObject::connect(&thread, success, &loop, [&](auto... values) {
        g_outcomeNs = g_clock.nsecsElapsed();
        succeeded = true;
        ((*detail = QVariant(values).toString()), ...);
        loop.quit();
    });
    QObject::connect(&thread, failure, &loop, [&](int code) {
        *detail = QStringLiteral("failed %1").arg(code);
        loop.quit();
    });
    thread.start();
    loop.exec();
    thread.wait();
    return succeeded;
}

bool download(const QString &url, QString *archive, const QString &publicKey = QString())
{
    TaskThread thread;
    thread.setUrl(url);
    // The build's own key otherwise: none in the benchmark's build.
    if (!publicKey.isEmpty())
        thread.findChild<DownloadManager *>()->setPublicKey(publicKey.toLatin1());
    const bool ok =
        runToOutcome(thread, &TaskThread::updateSuccess, &TaskThread::updateFailed, archive);
    if (!ok)
        say(QStringLiteral("error"), QStringLiteral("download ") + *archive);
    return ok;
}

bool install(const QString &archive, const QString &installDir)
{
    InstallThread thread;
    thread.archivePath = archive;
    thread.installDir = installDir;
    QString detail;
    const bool ok = runToOutcome(thread, &InstallThread::installSuccess,
                                 &InstallThread::installFailed, &detail);
    if (!ok)
        say(QStringLiteral("error"), QStringLiteral("install ") + detail);
    return ok;
}

bool logLines(int lines, int threadCount)
{
    qInstallMessageHandler(logMessageHandler);
    // The log folder is resolved by the first message, before the timed part.
    qDebug() << "benchmark" << lines << threadCount;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([lines, t] {
            for (int i = 0; i < lines; ++i)
                qDebug() << "load update zip success" << t << i
                         << "/home/user/.local/share/kovraSetupOnline/lumerixtemp.7z";
        }));
    }
    QElapsedTimer timer;
    timer.start();
    for (const auto &thread : threads)
        thread->start();
    for (const auto &thread : threads)
        thread->wait();
    const double seconds = timer.nsecsElapsed() / 1e9;
    qInstallMessageHandler(nullptr);
    say(QStringLiteral("lines"), QString::number(qint64(lines) * threadCount));
    say(QStringLiteral("lines_per_second"),
        QString::number(qint64(lines) * threadCount / seconds, 'f', 0));
    return true;
}

int usage()
{
    std::fputs("usage: kovra_bench download URL [PUBLIC_KEY] | install ARCHIVE INSTALL_DIR |"
               " download-install URL INSTALL_DIR | log LINES THREADS | check ARCHIVE\n",
               stderr);
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    const QString mode = arguments.value(0);

    g_clock.start();
    bool ok = false;
    if (mode == QLatin1String("download") && (arguments.size() == 2 || arguments.size() == 3)) {
        QString archive;
        ok = download(arguments.at(1), &archive, arguments.value(2));
        if (ok)
            say(QStringLiteral("bytes"), QString::number(QFileInfo(archive).size()));
    } else if (mode == QLatin1String("install") && arguments.size() == 3) {
        ok = install(arguments.at(1), arguments.at(2));
    } else if (mode == QLatin1String("download-install") && arguments.size() == 3) {
        QString archive;
        ok = download(arguments.at(1), &archive) && install(archive, arguments.at(2));
    } else if (mode == QLatin1String("check") && arguments.size() == 2) {
        const SevenZip::Result listed = SevenZip::list(arguments.at(1));
        const QString refusal =
            listed.ok ? ArchiveGuard::judgeListing(listed.output).refusal : listed.error;
        ok = refusal.isEmpty();
        if (!ok)
            say(QStringLiteral("error"), refusal);
    } else if (mode == QLatin1String("log") && arguments.size() == 3) {
        ok = logLines(arguments.at(1).toInt(), arguments.at(2).toInt());
    } else {
        return usage();
    }
    const qint64 ns = g_outcomeNs >= 0 ? g_outcomeNs : g_clock.nsecsElapsed();
    say(QStringLiteral("seconds"), QString::number(ns / 1e9, 'f', 3));
    say(QStringLiteral("peak_rss_kib"), QString::number(peakResidentKib()));
    return ok ? 0 : 1;
}
