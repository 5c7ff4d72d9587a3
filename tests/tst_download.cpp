#include "app/product.h"
#include "install/downloadmanager.h"
#include "install/taskthread.h"
#include "support/testfiles.h"
#include "support/vendorserver.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QtTest>

#include <atomic>
#include <cmath>
#include <memory>

namespace {

const QString servedName = QStringLiteral("lumerixSetupx64_min.7z");

QString downloadFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}

QString finalPath()
{
    return downloadFolder() + QLatin1Char('/') + QLatin1String(Product::packageFileName);
}

QString tmpPath()
{
    return finalPath() + QStringLiteral("_tmp");
}

// A port on loopback that nobody listens on.
quint16 closedPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The half-minute wait of a stalled download proves the same thing in every build: the download
// has no brand branch, and its failure path is the one the other failure rows take under the
// sanitizers. So only the plain standard build waits for it.
bool waitsForStalls()
{
#ifdef __SANITIZE_ADDRESS__
    return false;
#else
    return !Product::variantFlag;
#endif
}

bool isPercent(double value)
{
    return std::isfinite(value) && value >= 0.0 && value <= 100.0;
}

// Everything a manager emits, in order; filled on whichever thread emits.
struct ManagerLog
{
    QStringList events;
    QList<double> progress;
    QString okPath;

    void watch(DownloadManager *manager)
    {
        QObject::connect(
            manager, &DownloadManager::downLoadErr, manager,
            [this] { events << QStringLiteral("err"); }, Qt::DirectConnection);
        QObject::connect(
            manager, &DownloadManager::downLoadOK, manager,
            [this](const QString &path) {
                events << QStringLiteral("ok");
                okPath = path;
            },
            Qt::DirectConnection);
        QObject::connect(
            manager, &DownloadManager::downProgress, manager,
            [this](double per) {
                if (events.isEmpty() || events.last() != QLatin1String("progress"))
                    events << QStringLiteral("progress");
                progress << per;
            },
            Qt::DirectConnection);
    }
};

// What a task thread passes on to the window, in order.
struct ThreadLog
{
    QStringList events;
    QList<double> progress;
    QList<int> failures;
    QString successPath;

    void watch(TaskThread *thread)
    {
        QObject::connect(thread, &TaskThread::updateProgress, thread, [this](double per) {
            events << QStringLiteral("progress");
            progress << per;
        });
        QObject::connect(thread, &TaskThread::updateSuccess, thread, [this](const QString &path) {
            events << QStringLiteral("success");
            successPath = path;
        });
        QObject::connect(thread, &TaskThread::updateFailed, thread, [this](int code) {
            events << QStringLiteral("failed");
            failures << code;
        });
    }
};

} // namespace

class tst_download : public QObject
{
    Q_OBJECT

private:
    QString packageUrl(const QString &mode = QString()) const
    {
        const QString path = QStringLiteral("/upload/pc/") + servedName;
        if (mode.isEmpty())
            return server.baseUrl() + path;
        return server.baseUrl() + QStringLiteral("/fault/") + mode + path;
    }

    // Runs one download to its end, then delivers the results it queued for the GUI thread.
    static bool runToEnd(TaskThread &thread)
    {
        thread.start();
        if (!thread.wait(60000))
            return false;
        QCoreApplication::sendPostedEvents();
        return true;
    }

    VendorServer server;
    QByteArray package;

private slots:
    void initTestCase()
    {
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(server.start(0));
        QVector<quint32> words(3 * 1024 * 1024 / 4);
        QRandomGenerator::global()->fillRange(words.data(), words.size());
        package = QByteArray(reinterpret_cast<const char *>(words.constData()),
                             int(words.size() * sizeof(quint32)));
        QVERIFY(TestFiles::write(server.packageFolder() + QLatin1Char('/') + servedName, package));
    }

    void cleanup()
    {
        // A test may have put a file where the download folder belongs.
        if (QFileInfo(downloadFolder()).isFile())
            QFile::remove(downloadFolder());
    }

    // --- The download folder --------------------------------------------------------------

    void constructionEmptiesTheFolder()
    {
        DownloadManager first;
        QVERIFY(QDir(downloadFolder()).exists());
        QVERIFY(TestFiles::write(finalPath(), "archive of an earlier run"));
        QVERIFY(QDir(downloadFolder()).mkpath(QStringLiteral("Revanto_x64Minimal/bin")));
        QVERIFY(TestFiles::write(downloadFolder() + QStringLiteral("/Revanto_x64Minimal/bin/a.dll"),
                                 "x"));

        DownloadManager second;
        QDir folder(downloadFolder());
        QVERIFY(folder.exists());
        QCOMPARE(folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    }

    // --- The manager's own file handling ----------------------------------------------------

    void unwritableTargetFailsWithoutTransfer_data()
    {
        QTest::addColumn<bool>("folderIsFile");
        QTest::newRow("temporary file is a folder") << false;
        QTest::newRow("download folder is a file") << true;
    }

    void unwritableTargetFailsWithoutTransfer()
    {
        QFETCH(bool, folderIsFile);
        DownloadManager manager;
        if (folderIsFile) {
            QVERIFY(QDir(downloadFolder()).removeRecursively());
            QVERIFY(TestFiles::write(downloadFolder(), "in the way"));
        } else {
            QVERIFY(QDir(downloadFolder()).mkpath(QFileInfo(tmpPath()).fileName()));
        }
        ManagerLog log;
        log.watch(&manager);
        const int requestsBefore = server.requests().size();

        manager.downLoadFile(packageUrl(), QLatin1String(Product::packageFileName));

        QCOMPARE(log.events, QStringList{QStringLiteral("err")});
        QCOMPARE(server.requests().size(), requestsBefore);
        QVERIFY(!QFileInfo(finalPath()).isFile());
        if (folderIsFile)
            QCOMPARE(TestFiles::read(downloadFolder()), QByteArray("in the way"));
    }

    void failedRenameIsFailure()
    {
        DownloadManager manager;
        // A folder at the final name cannot be deleted as a file, so the rename must fail.
        QVERIFY(QDir(downloadFolder()).mkpath(QLatin1String(Product::packageFileName)));
        QVERIFY(TestFiles::write(finalPath() + QStringLiteral("/keep"), "not ours"));
        ManagerLog log;
        log.watch(&manager);

        manager.downLoadFile(packageUrl(), QLatin1String(Product::packageFileName));

        QCOMPARE(log.events.last(), QStringLiteral("err"));
        QCOMPARE(log.events.count(QStringLiteral("err")), 1);
        QVERIFY(!log.events.contains(QStringLiteral("ok")));
        QCOMPARE(TestFiles::read(finalPath() + QStringLiteral("/keep")), QByteArray("not ours"));
    }

    void earlierStopRequestDoesNotEndTheNextTransfer()
    {
        DownloadManager manager;
        ManagerLog log;
        log.watch(&manager);
        manager.requestStop();

        manager.downLoadFile(packageUrl(), QLatin1String(Product::packageFileName));

        QCOMPARE(log.events.last(), QStringLiteral("ok"));
        QCOMPARE(log.okPath, finalPath());
        QCOMPARE(TestFiles::read(finalPath()), package);
    }

    // --- Whole downloads through the task thread -----------------------------------------

    void downloadSucceeds_data()
    {
        QTest::addColumn<QString>("mode");
        QTest::addColumn<bool>("sizeKnown");
        QTest::newRow("plain") << QString() << true;
        QTest::newRow("redirect") << QStringLiteral("redirect") << true;
        QTest::newRow("chunked without length") << QStringLiteral("chunked") << false;
        QTest::newRow("slow") << QStringLiteral("slow-8192") << true;
    }

    void downloadSucceeds()
    {
        QFETCH(QString, mode);
        QFETCH(bool, sizeKnown);
        TaskThread thread;
        thread.setUrl(packageUrl(mode));
        ManagerLog managerLog;
        managerLog.watch(thread.findChild<DownloadManager *>());
        ThreadLog log;
        log.watch(&thread);

        QVERIFY(runToEnd(thread));

        QCOMPARE(log.events.last(), QStringLiteral("success"));
        QCOMPARE(log.events.count(QStringLiteral("success")), 1);
        QVERIFY(log.failures.isEmpty());
        QCOMPARE(log.successPath, finalPath());
        QCOMPARE(TestFiles::read(finalPath()), package);
        QVERIFY(!QFile::exists(tmpPath()));

        for (double per : qAsConst(managerLog.progress))
            QVERIFY2(isPercent(per), qPrintable(QString::number(per)));
        if (!sizeKnown)
            QVERIFY(managerLog.progress.isEmpty());
        double previous = 0;
        for (double per : qAsConst(log.progress)) {
            QVERIFY2(isPercent(per) && per - previous >= 1.0, qPrintable(QString::number(per)));
            previous = per;
        }
        if (sizeKnown)
            QVERIFY(!log.progress.isEmpty());
    }

    void downloadFails_data()
    {
        QTest::addColumn<QString>("url");
        const QString base = QStringLiteral("/upload/pc/") + servedName;
        QTest::newRow("status 404") << QStringLiteral("/fault/status-404") + base;
        QTest::newRow("status 500") << QStringLiteral("/fault/status-500") + base;
        QTest::newRow("missing file") << QStringLiteral("/upload/pc/nothing.7z");
        QTest::newRow("dropped mid-body") << QStringLiteral("/fault/drop") + base;
        QTest::newRow("closed without an answer") << QStringLiteral("/fault/hangup") + base;
        QTest::newRow("refused connection")
            << QStringLiteral("http://127.0.0.1:%1").arg(closedPort()) + base;
    }

    void downloadFails()
    {
        QFETCH(QString, url);
        TaskThread thread;
        thread.setUrl(url.startsWith(QLatin1Char('/')) ? server.baseUrl() + url : url);
        QVERIFY(TestFiles::write(finalPath(), "old archive"));
        QVERIFY(TestFiles::write(tmpPath(), "old partial archive"));
        ManagerLog managerLog;
        managerLog.watch(thread.findChild<DownloadManager *>());
        ThreadLog log;
        log.watch(&thread);

        QVERIFY(runToEnd(thread));

        QCOMPARE(log.failures, QList<int>{0});
        QCOMPARE(log.events.last(), QStringLiteral("failed"));
        QVERIFY(log.successPath.isEmpty());
        QVERIFY(!QFile::exists(finalPath()));
        // Whatever stays under the temporary name is the start of the package, never old data
        // or an error page.
        QVERIFY(!QFile::exists(tmpPath()) || package.startsWith(TestFiles::read(tmpPath())));
        for (double per : qAsConst(managerLog.progress))
            QVERIFY2(isPercent(per), qPrintable(QString::number(per)));
    }

    void missingManagerFails()
    {
        TaskThread thread;
        thread.setUrl(packageUrl());
        delete thread.findChild<DownloadManager *>();
        ThreadLog log;
        log.watch(&thread);

        QVERIFY(runToEnd(thread));

        QCOMPARE(log.failures, QList<int>{-100});
        QCOMPARE(log.events, QStringList{QStringLiteral("failed")});
    }

    // --- Progress thinning ------------------------------------------------------------------

    void progressIsThinned_data()
    {
        QTest::addColumn<QList<double>>("reported");
        QTest::addColumn<QList<double>>("passed");
        QTest::newRow("small steps")
            << QList<double>{0.5, 0.9, 1.2, 1.8, 2.3} << QList<double>{1.2, 2.3};
        QTest::newRow("whole points")
            << QList<double>{1.0, 1.5, 2.0, 2.9, 3.0} << QList<double>{1.0, 2.0, 3.0};
        QTest::newRow("last step under a point")
            << QList<double>{50.0, 99.4, 100.0} << QList<double>{50.0, 99.4};
        QTest::newRow("jump to the end") << QList<double>{0.0, 100.0} << QList<double>{100.0};
    }

    void progressIsThinned()
    {
        QFETCH(QList<double>, reported);
        QFETCH(QList<double>, passed);
        TaskThread thread;
        ThreadLog log;
        log.watch(&thread);
        for (double per : qAsConst(reported))
            thread.downProgress(per);
        QCOMPARE(log.progress, passed);
    }

    void retryStartsProgressFromZero()
    {
        TaskThread thread;
        ThreadLog log;
        log.watch(&thread);
        thread.setUrl(packageUrl());
        QVERIFY(runToEnd(thread));
        QCOMPARE(log.events.last(), QStringLiteral("success"));
        QVERIFY(!log.progress.isEmpty());
        const double firstRunEnd = log.progress.last();
        const int firstRunCount = log.progress.size();

        // The retry arrives at its values step by step, all below where the first run ended.
        thread.setUrl(packageUrl(QStringLiteral("slow-8192")));
        QVERIFY(runToEnd(thread));

        QCOMPARE(log.events.last(), QStringLiteral("success"));
        QVERIFY(log.progress.size() > firstRunCount);
        const double retryStart = log.progress.at(firstRunCount);
        QVERIFY2(retryStart < firstRunEnd,
                 qPrintable(QStringLiteral("%1 after %2").arg(retryStart).arg(firstRunEnd)));
    }

    // --- Ending a download that hangs -------------------------------------------------------

    void hangingDownloadIsEnded_data()
    {
        QTest::addColumn<bool>("silentServer");
        QTest::addColumn<bool>("destroy");
        QTest::newRow("body stalls, thread destroyed") << false << true;
        QTest::newRow("body stalls, stop call") << false << false;
        QTest::newRow("no answer, thread destroyed") << true << true;
        QTest::newRow("no answer, stop call") << true << false;
    }

    void hangingDownloadIsEnded()
    {
        QFETCH(bool, silentServer);
        QFETCH(bool, destroy);
        // Takes connections and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));

        auto thread = std::make_unique<TaskThread>();
        ThreadLog log;
        log.watch(thread.get());
        std::atomic_bool finished{false};
        bool finishedBeforeDestroyed = false;
        connect(
            thread.get(), &QThread::finished, this, [&finished] { finished = true; },
            Qt::DirectConnection);
        connect(thread.get(), &QObject::destroyed, this,
                [&] { finishedBeforeDestroyed = finished; });

        if (silentServer) {
            thread->setUrl(
                QStringLiteral("http://127.0.0.1:%1/upload/pc/").arg(silent.serverPort()) +
                servedName);
            thread->start();
            QVERIFY(silent.waitForNewConnection(10000));
        } else {
            thread->setUrl(packageUrl(QStringLiteral("stall")));
            QSignalSpy progress(thread.get(), &TaskThread::updateProgress);
            thread->start();
            QVERIFY(progress.wait(10000));
        }
        QVERIFY(thread->isRunning());

        QElapsedTimer timer;
        timer.start();
        if (destroy) {
            thread.reset();
            QVERIFY(finishedBeforeDestroyed);
        } else {
            thread->stop();
            QVERIFY(thread->isFinished());
        }
        const qint64 elapsed = timer.elapsed();
        qInfo("download ended %lld ms after the request", elapsed);
        QVERIFY2(elapsed < 10000, qPrintable(QString::number(elapsed)));
        QVERIFY(!QFile::exists(finalPath()));
        if (destroy)
            return;

        // A stopped download reports a failed transfer, and a retry downloads again.
        QCoreApplication::sendPostedEvents();
        QCOMPARE(log.failures, QList<int>{0});
        QVERIFY(log.successPath.isEmpty());
        thread->setUrl(packageUrl());
        QVERIFY(runToEnd(*thread));
        QCOMPARE(log.successPath, finalPath());
        QCOMPARE(TestFiles::read(finalPath()), package);
    }

    void stalledDownloadFails()
    {
        if (!waitsForStalls())
            QSKIP("waited for in the standard build only");
        // Takes connections and never answers.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));

        // Both kinds of silence side by side, so the half minute is waited for once: the package
        // stops after its first bytes, and a server takes the request and never answers.
        TaskThread thread;
        thread.setUrl(packageUrl(QStringLiteral("stall")));
        ThreadLog log;
        log.watch(&thread);
        DownloadManager unanswered;
        ManagerLog unansweredLog;
        unansweredLog.watch(&unanswered);
        const QString unansweredName = QStringLiteral("unanswered.7z");
        QElapsedTimer timer;
        qint64 unansweredEnd = -1;
        const std::unique_ptr<QThread> unansweredRun(QThread::create([&] {
            unanswered.downLoadFile(
                QStringLiteral("http://127.0.0.1:%1/upload/pc/").arg(silent.serverPort()) +
                    servedName,
                unansweredName);
            unansweredEnd = timer.elapsed();
        }));
        const auto endBoth = qScopeGuard([&] {
            unanswered.requestStop();
            unansweredRun->wait();
        });

        timer.start();
        thread.start();
        unansweredRun->start();
        QVERIFY(thread.wait(120000));
        const qint64 stalledEnd = timer.elapsed();
        QVERIFY(unansweredRun->wait(120000));
        QCoreApplication::sendPostedEvents();
        qInfo("stalled package failed after %lld ms, unanswered request after %lld ms", stalledEnd,
              unansweredEnd);

        // Not before half a minute of silence: a slow network's pause is no failure.
        QVERIFY2(stalledEnd >= 30000, qPrintable(QString::number(stalledEnd)));
        QVERIFY2(unansweredEnd >= 30000, qPrintable(QString::number(unansweredEnd)));
        QCOMPARE(log.failures, QList<int>{0});
        QVERIFY(log.successPath.isEmpty());
        QCOMPARE(unansweredLog.events, QStringList{QStringLiteral("err")});
        // Only the first bytes, under the temporary name; nothing under a final name.
        const QByteArray received = TestFiles::read(tmpPath());
        QVERIFY(!received.isEmpty() && package.startsWith(received));
        QVERIFY(!QFile::exists(finalPath()));
        QVERIFY(!QFile::exists(downloadFolder() + QLatin1Char('/') + unansweredName));
    }
};

QTEST_GUILESS_MAIN(tst_download)
#include "tst_download.moc"
