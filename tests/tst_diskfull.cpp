#include "core/product.h"
#include "install/installthread.h"
#include "install/taskthread.h"
#include "platform/platform.h"
#include "support/testfiles.h"
#include "support/vendorserver.h"

#include <QDirIterator>
#include <QStorageInfo>
#include <QtTest>

#include <unistd.h>

// Disks that are too small: a tmpfs mounted at the home folder of a child run of this program,
// in a mount namespace of its own (a user namespace as well when not root). The child runs one
// engine operation and prints what it left on the small disk.
namespace {

const char childOption[] = "--on-small-disk";

QStringList smallDisk(qint64 size, const QString &mountPoint)
{
    return {geteuid() == 0 ? "-m" : "-rm",
            "sh",
            "-c",
            "mount -t tmpfs -o size=$1 tmpfs \"$2\" && shift 2 && exec \"$@\"",
            "sh",
            QString::number(size),
            mountPoint};
}

// Every file below folder, relative, with its size.
QStringList filesBelow(const QString &folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files << QString("%1 %2").arg(path.mid(folder.size() + 1)).arg(QFileInfo(path).size());
    }
    files.sort();
    return files;
}

// The child: operation, the small disk, and the package (a URL or an archive).
int runOnSmallDisk(const QStringList &arguments)
{
    QStandardPaths::setTestModeEnabled(true);
    // A package refused before it is unpacked says so.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &message) {
        if (message.contains("not enough free space"))
            QTextStream(stdout) << "refused for its size\n";
    });
    const QString operation = arguments.value(0), disk = arguments.value(1);
    QTextStream out(stdout);
    out << "disk " << QStorageInfo(disk).bytesTotal() << '\n' << Qt::flush;
    if (operation == "download") {
        TaskThread thread;
        thread.setUrl(arguments.value(2));
        QObject::connect(&thread, &TaskThread::updateFailed,
                         [&](int code) { out << "failed " << code << '\n'; });
        QObject::connect(&thread, &TaskThread::updateSuccess, [&] { out << "success\n"; });
        thread.start();
        thread.wait();
        QCoreApplication::sendPostedEvents();
        out << "left "
            << filesBelow(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation))
                   .join(',')
            << '\n';
    } else if (operation == "copy") {
        out << "copied "
            << (Platform::copyFile(arguments.value(2), disk + "/copy") ? "true" : "false") << '\n';
    } else { // unpack on the small disk, or install onto it; the other side on the big disk
        const bool unpackHere = operation != "install", installHere = operation != "unpack";
        InstallThread thread;
        thread.archivePath = (unpackHere ? disk : arguments.value(3)) + "/dl/lumerixtemp.7z";
        thread.installDir = (installHere ? disk : arguments.value(3)) + "/product";
        QDir().mkpath(QFileInfo(thread.archivePath).path());
        QFile::copy(arguments.value(2), thread.archivePath);
        QObject::connect(&thread, &InstallThread::installFailed,
                         [&](int code) { out << "failed " << code << '\n'; });
        QObject::connect(&thread, &InstallThread::installSuccess, [&] { out << "success\n"; });
        thread.start();
        thread.wait();
        QCoreApplication::sendPostedEvents();
    }
    // What the run left: the user's settings, links and product folder do not count.
    const QRegularExpression own("^(?!\\.qttest/|Desktop/|product/)");
    out << "left " << filesBelow(disk).filter(own).join(',') << '\n';
    return 0;
}

} // namespace

class tst_diskfull : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void diskFull_data();
    void diskFull();

private:
    QTemporaryDir m_tmp;
    VendorServer m_server;
};

void tst_diskfull::initTestCase()
{
    QProcess probe;
    probe.start("unshare", smallDisk(1 << 20, m_tmp.path()) << "true");
    if (!probe.waitForFinished() || probe.exitCode() != 0)
        QSKIP("no size-limited file system here (needs root or user namespaces for unshare -rm)");
    // Zeros pack small: packages of a few kilobytes that declare 8 and 3 MiB unpacked, and one
    // of 600 one-byte files that takes 600 blocks.
    for (int mib : {8, 3, 0}) {
        const QString stage = m_tmp.filePath(QString("stage%1/Revanto_x64Minimal").arg(mib));
        QVERIFY(TestFiles::write(stage + Product::productExecutable, "product"));
        QVERIFY(TestFiles::write(stage + "/data.bin", QByteArray(mib << 20, '\0')));
        for (int file = 0; mib == 0 && file < 600; ++file)
            QVERIFY(TestFiles::write(stage + QString("/small/%1").arg(file), "x"));
        QProcess packer;
        packer.setWorkingDirectory(QFileInfo(stage).path());
        packer.start("7z",
                     {"a", "-bd", m_tmp.filePath(QString("%1.7z").arg(mib)), "Revanto_x64Minimal"});
        QVERIFY(packer.waitForFinished(60000) && packer.exitCode() == 0);
    }
    QVERIFY(m_server.start(0));
    QVERIFY(QFile::copy(m_tmp.filePath("stage8/Revanto_x64Minimal/data.bin"),
                        m_server.packageFolder() + "/big.7z"));
}

void tst_diskfull::diskFull_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("diskMiB");
    QTest::addColumn<QString>("outcome");
    // Whatever fills the disk, the space comes back at once and nothing half-written stays.
    QTest::newRow("download fills the disk") << "download" << 2 << "failed 0\nleft \nleft \n";
    // The package is unpacked beside the product folder, once, and counted in whole blocks.
    QTest::newRow("package larger than the download disk") << "unpack" << 4 << "success\nleft \n";
    QTest::newRow("package larger than the install disk")
        << "install" << 4 << "refused for its size\nfailed 3\nleft \n";
    QTest::newRow("package once, not twice, on one disk") << "both" << 5 << "success\nleft \n";
    QTest::newRow("small files in whole blocks")
        << "blocks" << 2 << "refused for its size\nfailed 3\nleft \n";
    QTest::newRow("copy fills the disk") << "copy" << 4 << "copied false\nleft \n";
}

void tst_diskfull::diskFull()
{
    QFETCH(QString, operation);
    QFETCH(int, diskMiB);
    QFETCH(QString, outcome);
    const QString disk = m_tmp.filePath("disk-" + operation);
    QVERIFY(QDir().mkpath(disk));
    const QString source = operation == "download" ? m_server.baseUrl() + "/upload/pc/big.7z"
                           : operation == "copy"   ? m_server.packageFolder() + "/big.7z"
                                                   : m_tmp.filePath(operation == "both"     ? "3.7z"
                                                                    : operation == "blocks" ? "0.7z"
                                                                                            : "8.7z");
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("HOME", disk);
    child.setProcessEnvironment(environment);
    child.start("unshare", smallDisk(qint64(diskMiB) << 20, disk)
                               << QCoreApplication::applicationFilePath() << childOption
                               << operation << disk << source
                               << m_tmp.filePath("big-" + operation));
    QVERIFY(child.waitForFinished(120000));
    const QString output = QString::fromUtf8(child.readAllStandardOutput());
    QVERIFY2(output.startsWith(QString("disk %1\n").arg(diskMiB << 20)) && output.endsWith(outcome),
             qPrintable(output + child.readAllStandardError().right(2000)));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc > 1 && qstrcmp(argv[1], childOption) == 0)
        return runOnSmallDisk(app.arguments().mid(2));
    tst_diskfull test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_diskfull.moc"
