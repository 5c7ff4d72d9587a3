#include "core/product.h"
#include "install/downloadfolder.h"
#include "install/downloadmanager.h"
#include "install/taskthread.h"
#include "support/testfiles.h"
#include "support/vendorserver.h"

#include <QLockFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QtTest>

#include <cmath>

// The package download with libcurl against the local vendor server, misbehaving in every way
// it can, through the task thread the window uses.
namespace {

QString folder()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
}
QString finalPath()
{
    return folder() + '/' + QLatin1String(Product::packageFileName);
}
QString tmpPath()
{
    return finalPath() + "_tmp";
}

} // namespace

class tst_download : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void transfer_data();
    void transfer();
    void progressThinnedAndRestarted();
    void stopEndsTransfer();
    void folderEmptiedAndLocked();

private:
    QString url(const QString &name = QStringLiteral("p.7z")) const
    {
        return m_server.baseUrl() + "/upload/pc/" + name;
    }

    VendorServer m_server;
    QByteArray m_package;
};

void tst_download::initTestCase()
{
    QVERIFY(m_server.start(0));
    m_package.resize(4 << 20);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(m_package.data()),
                                  m_package.size() / 4);
    QVERIFY(TestFiles::write(m_server.packageFolder() + "/p.7z", m_package));
}

void tst_download::transfer_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<int>("maxRequests");
    QTest::newRow("plain") << "normal" << true << 1;
    QTest::newRow("size not announced") << "chunked" << true << 1;
    QTest::newRow("redirect") << "redirect" << true << 2;
    QTest::newRow("not found") << "status-404" << false << 1;
    QTest::newRow("server error") << "status-500" << false << 1;
    QTest::newRow("connection dropped halfway") << "drop" << false << 1;
    QTest::newRow("no answer") << "hangup" << false << 1;
    QTest::newRow("no server") << "closed port" << false << 0;
    QTest::newRow("unwritable folder") << "unwritable" << false << 1;
    // Each answer a redirect to the next: libcurl would follow them for ever. Fast hops end at
    // the redirect limit long before any time limit; slow ones at the no-data limit, before the
    // redirect limit.
    QTest::newRow("endless fast redirects") << "redirect-chain-0" << false << 21;
    QTest::newRow("endless slow redirects") << "redirect-chain-2000" << false << 20;
    // 2 bytes a second: a package would take days; below a floor it fails like a stall.
    QTest::newRow("trickle") << "trickle" << false << 1;
}

void tst_download::transfer()
{
    QFETCH(QString, mode);
    QFETCH(bool, ok);
    QFETCH(int, maxRequests);
#ifdef __SANITIZE_ADDRESS__
    // A minute of waiting proves the same in every build; the failure path is the other rows'.
    if (mode == "trickle")
        QSKIP("the trickle row runs in the plain builds");
#endif
    // A plain redirect goes to the package as it is served normally.
    m_server.setPackageMode(mode == "redirect" ? "normal" : mode);
    TaskThread thread; // empties the download folder
    QString address =
        mode == "redirect" ? m_server.baseUrl() + "/fault/redirect/upload/pc/p.7z" : url();
    if (mode == "closed port") {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        address = QString("http://127.0.0.1:%1/p.7z").arg(probe.serverPort());
    }
    thread.setUrl(address);
    // Left by an earlier run: both go, whatever the outcome.
    QVERIFY(TestFiles::write(finalPath(), "old") && TestFiles::write(tmpPath(), "old"));
    if (mode == "unwritable")
        QVERIFY(QFile::remove(tmpPath()) && QDir().mkpath(tmpPath()));

    QSignalSpy success(&thread, &TaskThread::updateSuccess);
    QSignalSpy failed(&thread, &TaskThread::updateFailed);
    QSignalSpy progress(&thread, &TaskThread::updateProgress);
    const int requestsBefore = m_server.requestPaths("GET").size();
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(success.count() + failed.count() > 0, 150000);
    QVERIFY(thread.wait(10000));
    QTest::qWait(100); // nothing more arrives
    const int requests = m_server.requestPaths("GET").size() - requestsBefore;
    QVERIFY2(requests <= maxRequests, qPrintable(QString::number(requests)));
    QCOMPARE(success.count(), ok ? 1 : 0);
    QCOMPARE(failed.count(), ok ? 0 : 1);
    if (ok) {
        QCOMPARE(success.at(0).at(0).toString(), finalPath());
        QVERIFY(TestFiles::read(finalPath()) == m_package);
    } else {
        QCOMPARE(failed.at(0).at(0).toInt(), int(TaskThread::TransferFailed));
        QVERIFY(!QFileInfo::exists(finalPath()));
    }
    // A failed transfer gives its space back at once.
    QCOMPARE(QFileInfo(tmpPath()).isFile(), false);
    for (const QList<QVariant> &report : qAsConst(progress)) {
        const double per = report.at(0).toDouble();
        QVERIFY2(std::isfinite(per) && per >= 0 && per <= 100, qPrintable(QString::number(per)));
    }
}

void tst_download::progressThinnedAndRestarted()
{
    TaskThread thread;
    QSignalSpy progress(&thread, &TaskThread::updateProgress);
    for (double per : {0.5, 0.9, 1.2, 1.8, 2.3})
        thread.downProgress(per);
    QCOMPARE(progress.count(), 2);
    QCOMPARE(progress.at(0).at(0).toDouble(), 1.2);
    QCOMPARE(progress.at(1).at(0).toDouble(), 2.3);

    // A second download reports from the start again.
    m_server.setPackageMode("slow-4096");
    thread.setUrl(url());
    QSignalSpy success(&thread, &TaskThread::updateSuccess);
    for (int run = 1; run <= 2; ++run) {
        progress.clear();
        thread.start();
        QTRY_COMPARE_WITH_TIMEOUT(success.count(), run, 60000);
        QVERIFY(thread.wait(10000));
        QVERIFY2(progress.count() >= 3, qPrintable(QString::number(progress.count())));
    }
}

void tst_download::stopEndsTransfer()
{
    m_server.setPackageMode("stall");
    TaskThread thread;
    thread.setUrl(url());
    QSignalSpy failed(&thread, &TaskThread::updateFailed);
    thread.start();
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(tmpPath()).size() > 0, 20000);
    // What closing the window does: the transfer ends at its next progress check.
    thread.stop();
    QVERIFY(thread.isFinished());
    QTRY_COMPARE(failed.count(), 1);
    QVERIFY(!QFileInfo::exists(tmpPath()));
}

void tst_download::folderEmptiedAndLocked()
{
    // A run's own entries go, links among them as links; nothing else does. A link in the
    // folder's place is replaced: its target, holding the same names, keeps every file.
    QStringList names{"lumerixtemp.7z", "lumerixtemp.7z_tmp", "Revanto_x64Minimal/a.dll",
                      "Revanto_x86Minimal", "user.txt"};
    const QString target = folder() + "-target";
    for (const QString &name : names)
        QVERIFY(TestFiles::write(target + '/' + name, "kept") &&
                TestFiles::write(folder() + '/' + name, "old"));
    QVERIFY(QFile::remove(folder() + "/Revanto_x86Minimal") &&
            QFile::link(target, folder() + "/Revanto_x86Minimal"));
    const auto left = [](const QString &path) {
        return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
    };
    DownloadManager manager;
    QCOMPARE(left(folder()), QStringList{"user.txt"});
    QVERIFY(QDir(folder()).removeRecursively() && QFile::link(target, folder()));
    DownloadManager linked;
    QVERIFY(left(folder()).isEmpty() && !QFileInfo(folder()).isSymLink());
    QCOMPARE(left(target), names.replaceInStrings("/a.dll", ""));

    // One installer at a time, of either brand, uses the folder.
    QString refusal;
    const std::unique_ptr<QLockFile> first = DownloadFolder::claim(&refusal);
    QVERIFY(first && !DownloadFolder::claim(&refusal) && refusal == "language11");
}

QTEST_GUILESS_MAIN(tst_download)
#include "tst_download.moc"
