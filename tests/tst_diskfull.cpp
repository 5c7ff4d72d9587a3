#include "app/product.h"
#include "install/installthread.h"
#include "install/taskthread.h"
#include "support/testfiles.h"
#include "support/vendorserver.h"

#include <QDirIterator>
#include <QMutex>
#include <QStorageInfo>
#include <QtTest>

#include <unistd.h>

// A download, an unpack and a copy that run out of disk space. The small disk is a tmpfs mounted
// in a private mount namespace (a user namespace as well when not root) around a child run of
// this program; the child finds the small disk through its home folder, as the installer would,
// and reports what happened on its standard output.
namespace {

const QString childOption = QStringLiteral("--in-small-disk");

QString verdict(const QByteArray &content, const QByteArray &expected)
{
    if (content == expected)
        return QStringLiteral("same");
    return expected.startsWith(content) ? QStringLiteral("prefix") : QStringLiteral("differs");
}

// Every file below folder, relative, with its size and how it compares with the file of the
// same relative path below reference: "same", "prefix" (the start of it), "differs", "alien".
QStringList filesComparedWith(const QString &folder, const QString &reference)
{
    QStringList lines;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(folder.size() + 1);
        const QByteArray content = TestFiles::read(path);
        const QString original = reference + QLatin1Char('/') + relative;
        lines.append(QStringLiteral("file %1 %2 %3")
                         .arg(relative)
                         .arg(content.size())
                         .arg(QFileInfo::exists(original)
                                  ? verdict(content, TestFiles::read(original))
                                  : QStringLiteral("alien")));
    }
    lines.sort();
    return lines;
}

// The child: one engine operation with the small disk mounted at the home folder.
class SmallDiskRun
{
public:
    explicit SmallDiskRun(const QStringList &arguments)
        : m_case(arguments.value(0))
        , m_home(arguments.value(1))
        , m_source(arguments.value(2))
        , m_reference(arguments.value(3))
    {}

    int exec()
    {
        QStandardPaths::setTestModeEnabled(true);
        say(QStringLiteral("disk %1").arg(QStorageInfo(m_home).bytesTotal()));
        if (m_case == QLatin1String("download"))
            download();
        else if (m_case == QLatin1String("unpack") || m_case == QLatin1String("copy"))
            install();
        else
            return 2;
        return 0;
    }

private:
    void say(const QString &line)
    {
        QMutexLocker lock(&m_mutex);
        QTextStream(stdout) << line << '\n' << Qt::flush;
    }

    // source: the package URL; reference: the package file the server sends.
    void download()
    {
        TaskThread thread;
        thread.setUrl(m_source);
        QObject::connect(&thread, &TaskThread::updateSuccess, [this](const QString &path) {
            say(QStringLiteral("event success ") + path);
        });
        QObject::connect(&thread, &TaskThread::updateFailed,
                         [this](int code) { say(QStringLiteral("event failed %1").arg(code)); });
        thread.start();
        if (!thread.wait(120000)) {
            say(QStringLiteral("event hung"));
            thread.stop();
        }
        QCoreApplication::sendPostedEvents();
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        say(QStringLiteral("folder ") + (folder.startsWith(m_home + QLatin1Char('/'))
                                             ? QStringLiteral("on the small disk")
                                             : folder));
        const QByteArray package = TestFiles::read(m_reference);
        const QStringList names = QDir(folder).entryList(QDir::Files | QDir::Hidden);
        for (const QString &name : names) {
            const QByteArray content = TestFiles::read(folder + QLatin1Char('/') + name);
            say(QStringLiteral("file %1 %2 %3")
                    .arg(name)
                    .arg(content.size())
                    .arg(verdict(content, package)));
        }
    }

    // source: the archive; reference: the package folder as the archive holds it.
    void install()
    {
        InstallThread thread;
        QString archive = m_source;
        if (m_case == QLatin1String("unpack")) {
            // The archive lies on the small disk and is unpacked beside itself.
            archive = m_home + QStringLiteral("/dl/") + QLatin1String(Product::packageFileName);
            QDir().mkpath(QFileInfo(archive).path());
            if (!QFile::copy(m_source, archive))
                say(QStringLiteral("event cannot place the archive"));
            thread.installDir = QDir::cleanPath(m_reference + QStringLiteral("/../../install"));
        } else {
            thread.installDir = m_home + QStringLiteral("/Program Files/lumerixMasterRecovery");
        }
        thread.archivePath = archive;
        QObject::connect(
            &thread, &InstallThread::installProgress, &thread,
            [this](double per) { say(QStringLiteral("event progress %1").arg(per)); },
            Qt::DirectConnection);
        QObject::connect(
            &thread, &InstallThread::installSuccess, &thread,
            [this] { say(QStringLiteral("event success")); }, Qt::DirectConnection);
        QObject::connect(
            &thread, &InstallThread::installFailed, &thread,
            [this](int code) { say(QStringLiteral("event failed %1").arg(code)); },
            Qt::DirectConnection);
        thread.start();
        // An install cannot be stopped; the parent ends this run if it never finishes.
        if (!thread.wait(120000)) {
            say(QStringLiteral("event hung"));
            thread.wait();
        }
        for (const QString &line : filesComparedWith(thread.installDir, m_reference))
            say(QStringLiteral("installed ") + line);
    }

    QMutex m_mutex;
    QString m_case;
    QString m_home;
    QString m_source;
    QString m_reference;
};

bool runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    tool.closeWriteChannel();
    const bool finished = tool.waitForFinished(300000);
    if (output)
        *output = finished ? tool.readAll() : tool.errorString().toLocal8Bit();
    return finished && tool.exitStatus() == QProcess::NormalExit && tool.exitCode() == 0;
}

// The command that runs program with a tmpfs of size bytes mounted at mountPoint, in a mount
// namespace of its own so that nothing of it outlives the child.
QStringList smallDiskCommand(qint64 size, const QString &mountPoint)
{
    QStringList command{QStringLiteral("unshare")};
    command << (geteuid() == 0 ? QStringLiteral("-m") : QStringLiteral("-rm"));
    command << QStringLiteral("sh") << QStringLiteral("-c")
            << QStringLiteral("mount -t tmpfs -o size=$1 tmpfs \"$2\" && shift 2 && exec \"$@\"")
            << QStringLiteral("sh") << QString::number(size) << mountPoint;
    return command;
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
    QString tmp(const QString &relative) const { return m_tmp.filePath(relative); }

    QTemporaryDir m_tmp;
    VendorServer m_server;
    QString m_archive;
    QString m_package;
};

void tst_diskfull::initTestCase()
{
    QVERIFY(m_tmp.isValid());
    const QString probe = tmp(QStringLiteral("probe"));
    QVERIFY(QDir().mkpath(probe));
    QByteArray output;
    if (!runTool(smallDiskCommand(1024 * 1024, probe).first(),
                 smallDiskCommand(1024 * 1024, probe).mid(1) << QStringLiteral("true"), &output))
        QSKIP(qPrintable(QStringLiteral("no size-limited file system can be made here (needs root "
                                        "or user namespaces for unshare -rm): ") +
                         QString::fromLocal8Bit(output).trimmed()));

    // A package that fits none of the small disks below: 4 MiB of random data in 4 files.
    m_archive = tmp(QStringLiteral("lumerixSetupx64_min.7z"));
    QVERIFY2(runTool(QStringLiteral("python3"),
                     {QStringLiteral(KOVRA_SOURCE_DIR "/tools/make_package.py"),
                      QStringLiteral("--size"), QStringLiteral("4M"), QStringLiteral("--files"),
                      QStringLiteral("4"), QStringLiteral("--out"), m_archive},
                     &output),
             output.constData());
    m_package = tmp(QStringLiteral("unpacked/Revanto_x64Minimal"));
    QVERIFY2(runTool(QStringLiteral("7z"),
                     {QStringLiteral("x"), QStringLiteral("-bd"), m_archive,
                      QStringLiteral("-o") + tmp(QStringLiteral("unpacked"))},
                     &output),
             output.constData());

    QVERIFY(m_server.start(0));
    QVERIFY(QFile::copy(m_archive, m_server.packageFolder() + QStringLiteral("/package.7z")));
}

void tst_diskfull::diskFull_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<qint64>("diskSize");
    QTest::addColumn<int>("failureCode");

    QTest::newRow("download into a full download folder") << "download" << 1024 * 1024LL << 0;
    QTest::newRow("unpack into a full download folder") << "unpack" << 6 * 1024 * 1024LL << 3;
    QTest::newRow("copy into a full install folder") << "copy" << 2 * 1024 * 1024LL << 4;
}

void tst_diskfull::diskFull()
{
    QFETCH(QString, operation);
    QFETCH(qint64, diskSize);
    QFETCH(int, failureCode);

    const QString home = tmp(QStringLiteral("small-") + operation);
    QVERIFY(QDir().mkpath(home));
    QString source = m_archive;
    QString reference = m_package;
    if (operation == QLatin1String("download")) {
        source = m_server.baseUrl() + QStringLiteral("/upload/pc/package.7z");
        reference = m_server.packageFolder() + QStringLiteral("/package.7z");
    } else if (operation == QLatin1String("copy")) {
        // The archive lies on the big disk and is unpacked there; only the copy meets the limit.
        QVERIFY(QDir().mkpath(tmp(QStringLiteral("dl"))));
        source = tmp(QStringLiteral("dl/lumerixtemp.7z"));
        QFile::remove(source);
        QVERIFY(QFile::copy(m_archive, source));
    }

    QStringList command = smallDiskCommand(diskSize, home);
    command << QCoreApplication::applicationFilePath() << childOption << operation << home << source
            << reference;
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home);
    for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
        environment.remove(QLatin1String(name));
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::SeparateChannels);
    child.start(command.first(), command.mid(1));
    child.closeWriteChannel();
    QVERIFY2(child.waitForFinished(300000), "the child run did not end");
    const QString output = QString::fromLocal8Bit(child.readAllStandardOutput());
    const QString errors = QString::fromLocal8Bit(child.readAllStandardError());
    const QString shown = output + QStringLiteral("\n--- diagnostics ---\n") + errors.right(3000);
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0,
             qPrintable(shown));
    const QStringList lines = output.split(QLatin1Char('\n'), Qt::SkipEmptyParts);

    // The limit was in force.
    QVERIFY2(!lines.isEmpty() && lines.first().startsWith(QLatin1String("disk ")),
             qPrintable(shown));
    const qint64 total = lines.first().mid(5).toLongLong();
    QVERIFY2(total > 0 && total <= diskSize, qPrintable(shown));

    // Exactly one outcome: the failure code, never a success.
    const QStringList outcomes =
        lines.filter(QRegularExpression(QStringLiteral("^event (?!progress)")));
    QVERIFY2(outcomes == QStringList{QStringLiteral("event failed %1").arg(failureCode)},
             qPrintable(shown));

    if (operation == QLatin1String("download")) {
        QVERIFY2(lines.contains(QStringLiteral("folder on the small disk")), qPrintable(shown));
        // Nothing under the package's own name.
        QVERIFY2(lines.filter(QStringLiteral("final ")).isEmpty(), qPrintable(shown));
        // What was received stays as the start of the package under the temporary name, and it
        // filled the disk.
        const QStringList files = lines.filter(QRegularExpression(QStringLiteral("^file ")));
        QVERIFY2(files.size() == 1 &&
                     files.first().startsWith(QLatin1String("file lumerixtemp.7z_tmp ")) &&
                     files.first().endsWith(QLatin1String(" prefix")) &&
                     files.first().section(QLatin1Char(' '), 2, 2).toLongLong() > diskSize / 2,
                 qPrintable(shown));
        return;
    }

    const QStringList installed = lines.filter(QRegularExpression(QStringLiteral("^installed ")));
    if (operation == QLatin1String("unpack")) {
        // Nothing of a cut-short unpack reaches the install folder.
        QVERIFY2(installed.isEmpty(), qPrintable(shown));
        return;
    }
    // Files copied before the disk filled stay whole; the file being copied is not left behind
    // half-written, under its own name or any other.
    QVERIFY2(!installed.isEmpty(), qPrintable(shown));
    for (const QString &line : installed)
        QVERIFY2(line.endsWith(QLatin1String(" same")), qPrintable(shown));
    QVERIFY2(installed.size() < filesComparedWith(m_package, m_package).size(), qPrintable(shown));
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() >= 2 && arguments.at(1) == childOption)
        return SmallDiskRun(arguments.mid(2)).exec();

    tst_diskfull test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_diskfull.moc"
