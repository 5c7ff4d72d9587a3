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

#include <curl/curl.h>
#include <unistd.h>

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

// What a signature row does to the package it serves.
enum Change { Unchanged, Start, Middle, End, Truncated };

bool run(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.start(program, arguments);
    return process.waitForFinished(60000) && process.exitCode() == 0;
}

// Started as "--download URL": one download through the task thread in a process of its own,
// which may see another certificate store; prints how it ended.
int downloadOnce(const QString &url)
{
    TaskThread thread;
    thread.setUrl(url);
    QString outcome;
    QObject::connect(&thread, &TaskThread::updateSuccess, [&] { outcome = "success"; });
    QObject::connect(&thread, &TaskThread::updateFailed,
                     [&](int code) { outcome = QString("failed %1").arg(code); });
    thread.start();
    thread.wait();
    QCoreApplication::sendPostedEvents();
    QTextStream(stdout) << outcome;
    return 0;
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
    void signature_data();
    void signature();
    void https_data();
    void https();

private:
    QString url(const QString &name = QStringLiteral("p.7z")) const
    {
        return m_server.baseUrl() + "/upload/pc/" + name;
    }

    VendorServer m_server;
    VendorServer m_tlsServer;
    QByteArray m_package;
    // The vendor's key pair and another, and the signatures made with them.
    QTemporaryDir m_keys;
    QByteArray m_publicKey;
};

void tst_download::initTestCase()
{
    QVERIFY(m_server.start(0));
    m_package.resize(4 << 20);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(m_package.data()),
                                  m_package.size() / 4);
    const QString package = m_server.packageFolder() + "/p.7z";
    QVERIFY(TestFiles::write(package, m_package));

    const auto sign = [this](const QString &key, const QString &file, const QString &name,
                             const QStringList &options = {}) {
        return run("minisign", QStringList{"-S", "-s", m_keys.filePath(key), "-m", file, "-x",
                                           m_keys.filePath(name)} +
                                   options);
    };
    for (const QString key : {"vendor", "other"})
        QVERIFY(run("minisign", {"-G", "-W", "-p", m_keys.filePath(key + ".pub"), "-s",
                                 m_keys.filePath(key + ".key")}));
    m_publicKey = TestFiles::read(m_keys.filePath("vendor.pub")).split('\n').value(1);
    QVERIFY(TestFiles::write(m_keys.filePath("other.7z"), "another file"));
    QVERIFY(sign("vendor.key", package, "good") && sign("vendor.key", package, "legacy", {"-l"}) &&
            sign("vendor.key", m_keys.filePath("other.7z"), "other-file") &&
            sign("other.key", package, "other-key"));
    const QByteArray good = TestFiles::read(m_keys.filePath("good"));
    QVERIFY(TestFiles::write(m_keys.filePath("garbage"), QByteArray(300, '\x7f')) &&
            TestFiles::write(
                m_keys.filePath("comment"),
                QByteArray(good).replace("\ntrusted comment: ", "\ntrusted comment: 2 ")) &&
            // Valid but for its length: a long untrusted comment.
            TestFiles::write(m_keys.filePath("oversized"),
                             "untrusted comment: " + QByteArray(4096, 'x') +
                                 good.mid(good.indexOf('\n'))));
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
    // A redirect with nowhere to go: its page is not the package.
    QTest::newRow("redirect without a place") << "status-300" << false << 1;
    // Laid at both names since the start: they go as links, and nothing goes where they lead.
    QTest::newRow("links left") << "links" << true << 1;
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
    m_server.setPackageMode(mode == "redirect" || mode == "links" ? "normal" : mode);
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
    const QString elsewhere = folder() + "-elsewhere/";
    for (const QString &left : {finalPath(), tmpPath()})
        QVERIFY(mode == "links" ? QDir().mkpath(elsewhere) &&
                                      QFile::link(elsewhere + QFileInfo(left).fileName(), left)
                                : TestFiles::write(left, "old"));
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
    QVERIFY(QDir(elsewhere).isEmpty());
    // Without a key no signature is asked for.
    QVERIFY(!m_server.requestPaths("GET").mid(requestsBefore).join(' ').contains(".minisig"));
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

void tst_download::signature_data()
{
    QTest::addColumn<QString>("signature"); // the file served beside the package
    QTest::addColumn<int>("change");      // to the package: where one byte changes, or cut in half
    QTest::addColumn<QString>("refusal"); // what the log names; empty: accepted
    const QString mismatch = "package does not match";
    QTest::newRow("good") << "good" << +Unchanged << "";
    QTest::newRow("legacy Ed") << "legacy" << +Unchanged << "";
    QTest::newRow("byte changed at the start") << "good" << +Start << mismatch;
    QTest::newRow("byte changed in the middle") << "good" << +Middle << mismatch;
    QTest::newRow("byte changed at the end") << "good" << +End << mismatch;
    QTest::newRow("legacy Ed, byte changed") << "legacy" << +Middle << mismatch;
    QTest::newRow("truncated") << "good" << +Truncated << mismatch;
    QTest::newRow("signature of another file") << "other-file" << +Unchanged << mismatch;
    QTest::newRow("another key") << "other-key" << +Unchanged << "another key";
    QTest::newRow("no signature") << "none" << +Unchanged << "status 404";
    QTest::newRow("garbage signature") << "garbage" << +Unchanged << "not a minisign signature";
    QTest::newRow("oversized signature") << "oversized" << +Unchanged << "larger than 4096 bytes";
    QTest::newRow("changed trusted comment") << "comment" << +Unchanged << "trusted comment";
}

void tst_download::signature()
{
    QFETCH(QString, signature);
    QFETCH(int, change);
    QFETCH(QString, refusal);
    QByteArray package = m_package;
    const int at = change <= Start ? 0 : change == End ? package.size() - 1 : package.size() / 2;
    if (change == Truncated)
        package.truncate(at);
    else if (change)
        package[at] = char(package.at(at) ^ 1);
    const QString served = m_server.packageFolder() + "/s.7z";
    QVERIFY(TestFiles::write(served, package));
    QFile::remove(served + ".minisig");
    QVERIFY(signature == "none" || QFile::copy(m_keys.filePath(signature), served + ".minisig"));
    m_server.setPackageMode("normal");
    const int requestsBefore = m_server.requestPaths("GET").size();

    DownloadManager manager;
    manager.setPublicKey(m_publicKey);
    QSignalSpy success(&manager, &DownloadManager::downLoadOK);
    if (!refusal.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^download failed: .*" + refusal));
    manager.downLoadFile(url("s.7z"), Product::packageFileName);
    QCOMPARE(success.count(), refusal.isEmpty() ? 1 : 0);
    // The signature comes first; the package only after a signature that holds.
    const QStringList both{"/upload/pc/s.7z.minisig", "/upload/pc/s.7z"};
    QCOMPARE(m_server.requestPaths("GET").mid(requestsBefore),
             both.mid(0, refusal.isEmpty() || refusal.startsWith("package") ? 2 : 1));
    // A refused package goes at once; an accepted one is the package as signed.
    QCOMPARE(QDir(folder()).entryList(QDir::Files),
             refusal.isEmpty() ? QStringList{Product::packageFileName} : QStringList());
    QVERIFY(!refusal.isEmpty() || TestFiles::read(finalPath()) == m_package);
}

void tst_download::https_data()
{
    QTest::addColumn<bool>("trusted"); // the server's certificate in the system's store
    QTest::addColumn<QString>("url");  // %1: the https server's port
    QTest::addColumn<QString>("outcome");
    const QString package = "https://127.0.0.1:%1/upload/pc/p.7z";
    QTest::newRow("self-signed") << false << package << "failed 0";
    QTest::newRow("trusted") << true << package << "success";
    QTest::newRow("trusted, another host's name") << true << "https://localhost:%1/upload/pc/p.7z"
                                                  << "failed 0";
    // To the plain server, which would answer with the package.
    QTest::newRow("trusted, redirect to http")
        << true << "https://127.0.0.1:%1/fault/redirect/upload/pc/p.7z"
        << "failed 0";
}

void tst_download::https()
{
    QFETCH(bool, trusted);
    QFETCH(QString, url);
    QFETCH(QString, outcome);
    const QString certificate = m_keys.filePath("tls.pem");
    QVERIFY(
        m_tlsServer.port() ||
        (run("openssl",
             {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
              "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
              certificate, "-out", certificate}) &&
         QFile::copy(m_server.packageFolder() + "/p.7z", m_tlsServer.packageFolder() + "/p.7z") &&
         m_tlsServer.start(0, 0,
                           {"--tls-cert", certificate, "--redirect-base", m_server.baseUrl()})));
    m_server.setPackageMode("normal");
    QStringList command{QCoreApplication::applicationFilePath(), "--download",
                        url.arg(m_tlsServer.port())};
    if (trusted) {
        // The system's certificate file, as libcurl reads it, holds this certificate alone, in a
        // mount namespace of the child's own (a user namespace as well when not root).
        char *store = nullptr;
        const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(),
                                                                       &curl_easy_cleanup);
        curl_easy_getinfo(curl.get(), CURLINFO_CAINFO, &store);
        const QString mount = "mount --bind \"$1\" \"$2\" && shift 2 && exec \"$@\"";
        command = QStringList{geteuid() == 0 ? "-m" : "-rm", "sh", "-c", mount, "sh", certificate,
                              QFile::decodeName(store)} +
                  command;
        if (!store || !run("unshare", command.mid(0, 7) << "true"))
            QSKIP("no private certificate store here (needs libcurl's certificate file, and root "
                  "or user namespaces for unshare -rm)");
        command.prepend("unshare");
    }
    QProcess child;
    child.start(command.first(), command.mid(1));
    QVERIFY(child.waitForFinished(60000));
    QCOMPARE(QString::fromUtf8(child.readAllStandardOutput()), outcome);
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--download") == 0)
        return downloadOnce(app.arguments().at(2));
    tst_download test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_download.moc"
