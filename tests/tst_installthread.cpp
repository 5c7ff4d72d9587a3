#include "app/channelmanager.h"
#include "app/previousinstall.h"
#include "app/product.h"
#include "install/archiveguard.h"
#include "install/installthread.h"
#include "platform/platform.h"
#include "support/testfiles.h"

#include <QDirIterator>
#include <QMutex>
#include <QRandomGenerator>
#include <QSettings>
#include <QTranslator>
#include <QtTest>

#include <memory>

namespace {

QMutex logMutex;
QStringList logLines;

void captureLog(QtMsgType, const QMessageLogContext &, const QString &message)
{
    QMutexLocker lock(&logMutex);
    logLines.append(message);
}

QString translated(const char *key)
{
    return QCoreApplication::translate("InstallThread", key);
}

QString displayName()
{
    return translated(Product::displayNameKey);
}

QString desktopLink(const QString &name)
{
    return QStandardPaths::writableLocation(QStandardPaths::DesktopLocation) + QLatin1Char('/') +
           name + QStringLiteral(".lnk");
}

QString startMenuFolder(const QString &name)
{
    return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) +
           QLatin1Char('/') + name;
}

QString uninstallValue(const QString &name, const QString &value)
{
    return Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + name)
        ->value(value)
        .toString();
}

QString productName()
{
    return QString::fromLatin1(Product::productExecutable).mid(1);
}

QString uninstallerName()
{
    return QString::fromLatin1(Product::uninstallerExecutable).mid(1);
}

QString progress(double per)
{
    return QStringLiteral("progress ") + QString::number(per, 'g', 17);
}

QString failed(int code)
{
    return QStringLiteral("failed %1").arg(code);
}

// Relative path and content of every file below folder, hidden ones included.
QMap<QString, QByteArray> treeOf(const QString &folder)
{
    QMap<QString, QByteArray> tree;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        tree.insert(path.mid(folder.size() + 1), TestFiles::read(path));
    }
    return tree;
}

// Every entry below folder (files, folders, links), relative, sorted.
QStringList entriesOf(const QString &folder)
{
    QStringList entries;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(it.next().mid(folder.size() + 1));
    entries.sort();
    return entries;
}

bool runTool(const QString &program, const QStringList &arguments, const QString &workingDir,
             const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment())
{
    QProcess tool;
    tool.setWorkingDirectory(workingDir);
    tool.setProcessEnvironment(environment);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    tool.closeWriteChannel();
    const bool finished = tool.waitForFinished(300000);
    const QByteArray output = tool.readAll();
    if (!finished || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning("%s %s failed (%s): %s", qPrintable(program), qPrintable(arguments.join(' ')),
                 qPrintable(tool.errorString()), output.constData());
        return false;
    }
    return true;
}

// Packs entries (relative to folder) into archive with the real 7-Zip.
bool pack(const QString &folder, const QStringList &entries, const QString &archive,
          const QStringList &switches = {})
{
    return runTool(QStringLiteral("7z"),
                   QStringList{QStringLiteral("a"), QStringLiteral("-bd")} + switches +
                       QStringList{archive} + entries,
                   folder);
}

// Records what a thread reports, in order, from whichever thread emits.
class Recorder
{
public:
    explicit Recorder(InstallThread *thread)
    {
        m_connections[0] = QObject::connect(
            thread, &InstallThread::installProgress, thread,
            [this](double per) { add(progress(per)); }, Qt::DirectConnection);
        m_connections[1] = QObject::connect(
            thread, &InstallThread::installSuccess, thread,
            [this] { add(QStringLiteral("success")); }, Qt::DirectConnection);
        m_connections[2] = QObject::connect(
            thread, &InstallThread::installFailed, thread, [this](int code) { add(failed(code)); },
            Qt::DirectConnection);
    }
    // A thread that runs again later must not report to a recorder that is gone.
    ~Recorder()
    {
        for (const QMetaObject::Connection &connection : m_connections)
            QObject::disconnect(connection);
    }
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    QStringList events() const
    {
        QMutexLocker lock(&m_mutex);
        return m_events;
    }

private:
    void add(const QString &event)
    {
        QMutexLocker lock(&m_mutex);
        m_events.append(event);
    }
    mutable QMutex m_mutex;
    QStringList m_events;
    QMetaObject::Connection m_connections[3];
};

// A language whose display names differ from every catalogue's.
class OtherLanguage : public QTranslator
{
public:
    bool isEmpty() const override { return false; }
    QString translate(const char *, const char *sourceText, const char *, int) const override
    {
        if (qstrcmp(sourceText, Product::displayNameKey) == 0)
            return QStringLiteral("Other Language Product");
        return QString();
    }
};

} // namespace

class tst_InstallThread : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void collectFilesOrder();
    void collectFilesLinks();
    void copyFiles_data();
    void copyFiles();
    void failures_data();
    void failures();
    void fullInstall();
    void productStartsAndUninstalls();
    void repeatedInstall();
    void thirtyTwoBitPackage();
    void catalogueNames_data();
    void catalogueNames();
    void unsafeArchives_data();
    void unsafeArchives();
    void judgeListing_data();
    void judgeListing();
    void destructorWaitsForInstall();

private:
    QString tmp(const QString &relative) const { return m_tmp->filePath(relative); }
    QString archivePath() const { return tmp(QStringLiteral("dl/lumerixtemp.7z")); }
    QString packageDir() const { return tmp(QStringLiteral("dl/Revanto_x64Minimal")); }
    QString installDir() const
    {
        return tmp(QStringLiteral("Program Files/lumerixMasterRecovery"));
    }
    // Puts a file beside the running test program, which an install copies; removed again
    // by cleanup().
    bool putBesideInstaller(const QString &relative, const QByteArray &content);
    bool makePackage(const QString &archive, const QString &arch = QStringLiteral("x64"));
    QStringList runInstall(InstallThread &thread);

    QTemporaryDir m_home;
    std::unique_ptr<QTemporaryDir> m_tmp;
    QStringList m_besideInstaller;
};

void tst_InstallThread::initTestCase()
{
    // Everything the install touches (home, desktop, start menu, uninstall list) stays in
    // throw-away folders even when the test is started by hand.
    QVERIFY(m_home.isValid());
    qputenv("HOME", QFile::encodeName(m_home.path()));
    for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
        qunsetenv(name);
    QStandardPaths::setTestModeEnabled(true);
    QVERIFY2(!QStandardPaths::findExecutable(QStringLiteral("7z")).isEmpty(),
             "the 7z program (p7zip-full) is needed");
    const QStringList beside =
        QDir(QCoreApplication::applicationDirPath())
            .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QVERIFY2(beside == QStringList{QFileInfo(QCoreApplication::applicationFilePath()).fileName()},
             qPrintable("the test program must lie alone in its folder: " + beside.join(' ')));
}

void tst_InstallThread::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(m_tmp->isValid());
    QVERIFY(QDir().mkpath(tmp(QStringLiteral("dl"))));
    QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::DesktopLocation)));
    QVERIFY(QDir().mkpath(QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation)));
}

void tst_InstallThread::cleanup()
{
    for (const QString &relative : qAsConst(m_besideInstaller)) {
        const QString path = QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative;
        QFile::remove(path);
        QDir().rmdir(QFileInfo(path).path());
    }
    m_besideInstaller.clear();
    m_tmp.reset();
    QDir(m_home.path()).removeRecursively();
    QDir().mkpath(m_home.path());
}

bool tst_InstallThread::putBesideInstaller(const QString &relative, const QByteArray &content)
{
    m_besideInstaller.append(relative);
    return TestFiles::write(QCoreApplication::applicationDirPath() + QLatin1Char('/') + relative,
                            content);
}

bool tst_InstallThread::makePackage(const QString &archive, const QString &arch)
{
    return runTool(QStringLiteral("python3"),
                   {QStringLiteral(KOVRA_SOURCE_DIR "/tools/make_package.py"),
                    QStringLiteral("--size"), QStringLiteral("96K"), QStringLiteral("--files"),
                    QStringLiteral("3"), QStringLiteral("--brand"),
                    QLatin1String(Product::variantFlag ? "green" : "standard"),
                    QStringLiteral("--arch"), arch, QStringLiteral("--out"), archive},
                   m_tmp->path());
}

QStringList tst_InstallThread::runInstall(InstallThread &thread)
{
    Recorder recorder(&thread);
    thread.start();
    if (!thread.wait(300000))
        qWarning("the install did not end");
    return recorder.events();
}

void tst_InstallThread::collectFilesOrder()
{
    const QString source = tmp(QStringLiteral("src"));
    for (const QString &name :
         {QStringLiteral("b.txt"), QStringLiteral("A.txt"), QStringLiteral("sub/x.dll"),
          QStringLiteral(".hidden"), QStringLiteral(".cache/y.dll"), QStringLiteral("B/c.txt")})
        QVERIFY(TestFiles::write(source + QLatin1Char('/') + name, name.toUtf8()));
    QVERIFY(QDir().mkpath(source + QStringLiteral("/empty")));

    QStringList paths{QStringLiteral("kept")};
    QStringList names{QStringLiteral("kept")};
    InstallThread::collectFiles(source, paths, names);
    // Subfolders first, each completely, then files; by name, upper case before lower case.
    QCOMPARE(paths,
             (QStringList{QStringLiteral("kept"), source + QStringLiteral("/B/c.txt"),
                          source + QStringLiteral("/sub/x.dll"), source + QStringLiteral("/A.txt"),
                          source + QStringLiteral("/b.txt")}));
    QCOMPARE(names,
             (QStringList{QStringLiteral("kept"), QStringLiteral("c.txt"), QStringLiteral("x.dll"),
                          QStringLiteral("A.txt"), QStringLiteral("b.txt")}));

    paths.clear();
    InstallThread::collectFiles(tmp(QStringLiteral("missing")), paths, names);
    QVERIFY(paths.isEmpty());
}

void tst_InstallThread::collectFilesLinks()
{
    const QString source = tmp(QStringLiteral("src"));
    QVERIFY(TestFiles::write(source + QStringLiteral("/a.txt"), "inside"));
    QVERIFY(TestFiles::write(tmp(QStringLiteral("outside/secret.txt")), "secret"));
    QVERIFY(QFile::link(tmp(QStringLiteral("outside/secret.txt")), source + "/file-out"));
    QVERIFY(QFile::link(tmp(QStringLiteral("outside")), source + "/folder-out"));
    QVERIFY(QFile::link(QStringLiteral("a.txt"), source + "/file-in"));
    QVERIFY(QFile::link(QStringLiteral("."), source + "/loop"));
    QVERIFY(QFile::link(QStringLiteral("gone"), source + "/broken"));

    QStringList paths;
    QStringList names;
    for (const char *left : {"file-out", "folder-out", "loop"})
        QTest::ignoreMessage(QtDebugMsg,
                             qPrintable("link left out \"" + source + '/' + left + '"'));
    InstallThread::collectFiles(source, paths, names);
    // Only what lies inside the folder itself is installed; a linked folder is never entered.
    QCOMPARE(paths, (QStringList{source + "/a.txt", source + "/file-in"}));
}

void tst_InstallThread::copyFiles_data()
{
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("existingTargets");
    QTest::addColumn<double>("span");
    QTest::addColumn<double>("base");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("copied");

    const QStringList none;
    QTest::newRow("listing order")
        << QStringList{"b.txt", "A.txt", "sub/x.dll"} << none << 70.0 << 0.0
        << QStringList{progress(1.0 / 3.0 * 70), progress(2.0 / 3.0 * 70), progress(70)}
        << QStringList{"sub/x.dll", "A.txt", "b.txt"};
    QTest::newRow("installer executables left out")
        << QStringList{"kovraSetupOnline.exe", "a.dll", "b.dll"} << none << 30.0 << 70.0
        << QStringList{progress(1.0 / 3.0 * 30 + 70), progress(2.0 / 3.0 * 30 + 70)}
        << QStringList{"a.dll", "b.dll"};
    QTest::newRow("other installer name left out")
        << QStringList{"lumerixMasterInstaller.exe", "tools/kovraSetupOnline.exe.config", "z.dll"}
        << none << 30.0 << 70.0 << QStringList{progress(1.0 / 3.0 * 30 + 70)}
        << QStringList{"z.dll"};
    QTest::newRow("hidden file neither counted nor copied")
        << QStringList{".hidden", "a.dll"} << none << 70.0 << 0.0 << QStringList{progress(70)}
        << QStringList{"a.dll"};
    QTest::newRow("only empty subfolders") << QStringList{"empty/", "deeper/empty/"} << none << 70.0
                                           << 0.0 << QStringList{failed(3)} << none;
    QTest::newRow("missing folder")
        << none << none << 70.0 << 0.0 << QStringList{failed(3)} << none;
    QTest::newRow("existing target is kept")
        << QStringList{"a.dll", "b.dll", "c.dll"} << QStringList{"b.dll"} << 70.0 << 0.0
        << QStringList{progress(1.0 / 3.0 * 70), failed(4)} << QStringList{"a.dll"};
}

void tst_InstallThread::copyFiles()
{
    QFETCH(QStringList, files);
    QFETCH(QStringList, existingTargets);
    QFETCH(double, span);
    QFETCH(double, base);
    QFETCH(QStringList, events);
    QFETCH(QStringList, copied);

    const QString source = tmp(QStringLiteral("src"));
    for (const QString &file : qAsConst(files)) {
        if (file.endsWith(QLatin1Char('/')))
            QVERIFY(QDir().mkpath(source + QLatin1Char('/') + file));
        else
            QVERIFY(TestFiles::write(source + QLatin1Char('/') + file, "new " + file.toUtf8()));
    }
    const QString target = tmp(QStringLiteral("target"));
    for (const QString &file : qAsConst(existingTargets))
        QVERIFY(TestFiles::write(target + QLatin1Char('/') + file, "old"));

    InstallThread thread;
    thread.installDir = target;
    Recorder recorder(&thread);
    QStringList installed{QStringLiteral("earlier")};
    QCOMPARE(thread.copyFiles(source, installed, span, base), !events.last().startsWith("failed"));
    QCOMPARE(recorder.events(), events);

    QStringList expectedInstalled{QStringLiteral("earlier")};
    for (const QString &file : qAsConst(copied)) {
        expectedInstalled.append(target + QLatin1Char('/') + file);
        QCOMPARE(TestFiles::read(target + QLatin1Char('/') + file), "new " + file.toUtf8());
    }
    QCOMPARE(installed, expectedInstalled);
    for (const QString &file : qAsConst(existingTargets))
        QCOMPARE(TestFiles::read(target + QLatin1Char('/') + file), QByteArray("old"));
    QCOMPARE(treeOf(target).size(), copied.size() + existingTargets.size());
}

void tst_InstallThread::failures_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QStringList>("events");
    QTest::addColumn<QStringList>("installed");
    // %A, %P, %B and %I stand for the archive, the package folder, the installer's folder and
    // the install folder.
    QTest::addColumn<QString>("logLine");

    const QStringList empty;
    QTest::newRow("archive missing")
        << "missing" << QStringList{progress(0), failed(1)} << empty << QString();
    QTest::newRow("no package folder")
        << "other folder" << QStringList{progress(0), failed(3)} << empty << "unzip failed \"%P\"";
    QTest::newRow("package folder with empty subfolders only")
        << "empty package" << QStringList{progress(0), failed(3)} << empty << "unzip failed \"%P\"";
    QTest::newRow("not an archive")
        << "garbage" << QStringList{progress(0), failed(3)} << empty << "unzip failed \"%A\"";
    QTest::newRow("encrypted names") << "encrypted names" << QStringList{progress(0), failed(3)}
                                     << empty << "unzip failed \"%A\"";
    QTest::newRow("encrypted content") << "encrypted content" << QStringList{progress(0), failed(3)}
                                       << empty << "unzip failed \"%A\"";
    QTest::newRow("file in package and installer folder")
        << "clash" << QStringList{progress(0), progress(70), failed(4)}
        << QStringList{"Qt5Core.dll"} << "\"%B/Qt5Core.dll\"  =failed to=  \"%I/Qt5Core.dll\"";
    // A damaged download: 7-Zip may unpack every file and still report an error, so whatever it
    // left must not be installed.
    QTest::newRow("truncated to half") << "truncated half" << QStringList{progress(0), failed(3)}
                                       << empty << "unzip failed \"%A\"";
    QTest::newRow("last byte missing") << "truncated last" << QStringList{progress(0), failed(3)}
                                       << empty << "unzip failed \"%A\"";
    QTest::newRow("empty archive file")
        << "truncated all" << QStringList{progress(0), failed(3)} << empty << "unzip failed \"%A\"";
    QTest::newRow("flipped byte in the packed data")
        << "flipped data" << QStringList{progress(0), failed(3)} << empty << "unzip failed \"%A\"";
    QTest::newRow("flipped byte in the start header")
        << "flipped start" << QStringList{progress(0), failed(3)} << empty << "unzip failed \"%A\"";
    QTest::newRow("flipped byte in the end header")
        << "flipped end" << QStringList{progress(0), failed(3)} << empty << "unzip failed \"%A\"";
    QTest::newRow("relative install folder")
        << "relative" << QStringList{progress(0), failed(4)} << empty << QString();
}

void tst_InstallThread::failures()
{
    QFETCH(QString, setup);
    QFETCH(QStringList, events);
    QFETCH(QStringList, installed);
    QFETCH(QString, logLine);
    logLine.replace("%A", archivePath()).replace("%P", packageDir()).replace("%I", installDir());
    logLine.replace("%B", QCoreApplication::applicationDirPath());

    // A folder with an earlier installation in it is emptied before anything else happens.
    QVERIFY(TestFiles::write(installDir() + QStringLiteral("/old/product.exe"), "old"));
    QVERIFY(TestFiles::write(installDir() + QStringLiteral("/old.txt"), "old"));

    const QString stage = tmp(QStringLiteral("stage"));
    if (setup == QLatin1String("other folder")) {
        QVERIFY(TestFiles::write(stage + QStringLiteral("/Other/x.txt"), "x"));
        QVERIFY(pack(stage, {QStringLiteral("Other")}, archivePath()));
    } else if (setup == QLatin1String("empty package")) {
        QVERIFY(QDir().mkpath(stage + QStringLiteral("/Revanto_x64Minimal/a/b")));
        QVERIFY(pack(stage, {QStringLiteral("Revanto_x64Minimal")}, archivePath()));
    } else if (setup == QLatin1String("garbage")) {
        QByteArray bytes(4096, Qt::Uninitialized);
        QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()),
                                              bytes.size() / 4);
        QVERIFY(TestFiles::write(archivePath(), bytes));
    } else if (setup.startsWith(QLatin1String("encrypted"))) {
        QVERIFY(TestFiles::write(stage + QStringLiteral("/Revanto_x64Minimal/a.dll"), "a"));
        QStringList switches{QStringLiteral("-psecret")};
        if (setup == QLatin1String("encrypted names"))
            switches.append(QStringLiteral("-mhe=on"));
        QVERIFY(pack(stage, {QStringLiteral("Revanto_x64Minimal")}, archivePath(), switches));
    } else if (setup.startsWith(QLatin1String("truncated")) ||
               setup.startsWith(QLatin1String("flipped"))) {
        QVERIFY(makePackage(archivePath()));
        QByteArray bytes = TestFiles::read(archivePath());
        QVERIFY(bytes.size() > 64 * 1024);
        if (setup == QLatin1String("truncated half"))
            bytes.truncate(bytes.size() / 2);
        else if (setup == QLatin1String("truncated last"))
            bytes.chop(1);
        else if (setup == QLatin1String("truncated all"))
            bytes.clear();
        else if (setup == QLatin1String("flipped data"))
            bytes[bytes.size() / 2] = char(bytes.at(bytes.size() / 2) ^ 0x55);
        else if (setup == QLatin1String("flipped start"))
            bytes[20] = char(bytes.at(20) ^ 0x01); // the offset of the end header
        else
            bytes[bytes.size() - 10] = char(bytes.at(bytes.size() - 10) ^ 0x55);
        QVERIFY(TestFiles::write(archivePath(), bytes));
    } else if (setup == QLatin1String("clash")) {
        QVERIFY(
            TestFiles::write(stage + QStringLiteral("/Revanto_x64Minimal/Qt5Core.dll"), "package"));
        QVERIFY(pack(stage, {QStringLiteral("Revanto_x64Minimal")}, archivePath()));
        QVERIFY(putBesideInstaller(QStringLiteral("Qt5Core.dll"), "installer"));
    }

    InstallThread thread;
    thread.installDir = installDir();
    thread.archivePath = archivePath();
    if (setup == QLatin1String("relative"))
        thread.installDir = QStringLiteral("relative/lumerixMasterRecovery");

    // Everything but the download folder and the install folder stays as it was.
    const auto outside = [this] {
        QStringList entries = entriesOf(m_home.path());
        const QStringList temporary = entriesOf(m_tmp->path());
        for (const QString &entry : temporary) {
            if (!entry.startsWith(QLatin1String("dl/")) &&
                !entry.startsWith(QLatin1String("Program Files/")))
                entries.append(entry);
        }
        return entries;
    };
    const QStringList outsideBefore = outside();

    logLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureLog);
    const QStringList seen = runInstall(thread);
    qInstallMessageHandler(previous);

    QCOMPARE(seen, events);
    QCOMPARE(outside(), outsideBefore);
    if (!logLine.isEmpty())
        QVERIFY2(std::any_of(logLines.cbegin(), logLines.cend(),
                             [&](const QString &line) { return line.startsWith(logLine); }),
                 qPrintable(logLines.join('\n')));
    if (setup == QLatin1String("relative")) {
        QVERIFY(!QFileInfo::exists(QStringLiteral("relative")));
        QCOMPARE(treeOf(installDir()).size(), 2);
        return;
    }
    QVERIFY(QFileInfo(installDir()).isDir());
    QCOMPARE(entriesOf(installDir()), installed);
    if (setup == QLatin1String("clash"))
        QCOMPARE(TestFiles::read(installDir() + QStringLiteral("/Qt5Core.dll")),
                 QByteArray("package"));
    QVERIFY(!QFileInfo::exists(desktopLink(displayName())));
    QVERIFY(uninstallValue(displayName(), QStringLiteral("UninstallString")).isEmpty());
}

void tst_InstallThread::fullInstall()
{
    QVERIFY(makePackage(archivePath()));
    const QString reference = tmp(QStringLiteral("reference"));
    QVERIFY(runTool(QStringLiteral("7z"), {QStringLiteral("x"), archivePath(), "-o" + reference},
                    m_tmp->path()));
    const QMap<QString, QByteArray> package =
        treeOf(reference + QStringLiteral("/Revanto_x64Minimal"));
    const QStringList packageOrder{"data/filler-0001.bin", "data/filler-0002.bin",
                                   "data/filler-0003.bin", productName(), uninstallerName()};
    QCOMPARE(QStringList(package.keys()).size(), packageOrder.size());

    // Runtime files as they lie beside the real installer, and its executables.
    QVERIFY(putBesideInstaller(QStringLiteral("platforms/qwindows.dll"), "platform plugin"));
    QVERIFY(putBesideInstaller(QStringLiteral("Qt5Core.dll"), "core library"));
    QVERIFY(putBesideInstaller(QStringLiteral("kovraSetupOnline.exe"), "installer"));
    QVERIFY(putBesideInstaller(QStringLiteral("lumerixMasterInstaller.exe"), "installer"));
    QVERIFY(putBesideInstaller(QStringLiteral(".hidden"), "hidden"));
    QVERIFY(TestFiles::write(installDir() + QStringLiteral("/left over.txt"), "old"));

    InstallThread thread;
    thread.installDir = installDir();
    thread.archivePath = archivePath();
    QCOMPARE(runInstall(thread),
             (QStringList{progress(0), progress(1.0 / 5.0 * 70), progress(2.0 / 5.0 * 70),
                          progress(3.0 / 5.0 * 70), progress(4.0 / 5.0 * 70), progress(70),
                          progress(1.0 / 5.0 * 30 + 70), progress(2.0 / 5.0 * 30 + 70),
                          QStringLiteral("success")}));

    // The tree: the package, the installer's runtime files, the three bookkeeping files.
    QMap<QString, QByteArray> expected = package;
    expected.insert(QStringLiteral("platforms/qwindows.dll"), "platform plugin");
    expected.insert(QStringLiteral("Qt5Core.dll"), "core library");
    const QString dir = installDir();
    const QString channel = ChannelManager::instance()->channelName() + QLatin1Char(',') +
                            ChannelManager::instance()->channelToken() + QLatin1Char(',') +
                            ChannelManager::instance()->channelId();
    expected.insert(QStringLiteral("Qt5Encry.dll"), channel.toUtf8());
    expected.insert(QStringLiteral("Uninstall"), ("rm -rf \"" + dir + "\"").toUtf8());
    QStringList listed;
    for (const QString &file : packageOrder)
        listed.append(dir + QLatin1Char('/') + file);
    listed << dir + "/platforms/qwindows.dll" << dir + "/Qt5Core.dll" << dir + "/Uninstall.list"
           << dir + "/Uninstall" << dir + "/Qt5Encry.dll";
    expected.insert(QStringLiteral("Uninstall.list"), (listed.join(',') + ',').toUtf8());
    const QMap<QString, QByteArray> tree = treeOf(dir);
    QCOMPARE(tree.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QVERIFY2(tree.value(it.key()) == it.value(), qPrintable(it.key()));
    QVERIFY(QFileInfo(dir + QLatin1String(Product::productExecutable)).isExecutable());

    // Links and the uninstall entry.
    const QString name = displayName();
    const QString product = dir + QLatin1String(Product::productExecutable);
    const QString uninstaller = dir + QLatin1String(Product::uninstallerExecutable);
    QCOMPARE(QFile::symLinkTarget(desktopLink(name)), product);
    QCOMPARE(QFile::symLinkTarget(startMenuFolder(name) + "/" + name + ".lnk"), product);
    QCOMPARE(
        QFile::symLinkTarget(startMenuFolder(name) + "/" + translated("language8") + name + ".lnk"),
        uninstaller);
    QCOMPARE(uninstallValue(name, "DisplayIcon"), product);
    QCOMPARE(uninstallValue(name, "DisplayName"), name);
    QCOMPARE(uninstallValue(name, "DisplayVersion"), QStringLiteral("1.2.1"));
    QCOMPARE(uninstallValue(name, "Publisher"), name);
    QCOMPARE(uninstallValue(name, "UninstallString"), uninstaller);
    QCOMPARE(checkAlreadyInstall(), uninstaller);

    // The "Uninstall" line removes the folder, blank in its path and all.
    QVERIFY(runTool(QStringLiteral("sh"),
                    {QStringLiteral("-c"), QString::fromUtf8(tree.value("Uninstall"))},
                    m_tmp->path()));
    QVERIFY(!QFileInfo::exists(dir));
    QVERIFY(QFileInfo::exists(tmp(QStringLiteral("Program Files"))));
}

void tst_InstallThread::productStartsAndUninstalls()
{
    QVERIFY(makePackage(archivePath()));
    InstallThread thread;
    thread.installDir = installDir();
    thread.archivePath = archivePath();
    QCOMPARE(runInstall(thread).constLast(), QStringLiteral("success"));

    const QString name = displayName();
    QVERIFY(runTool(desktopLink(name), {}, m_tmp->path()));
    QVERIFY(QFileInfo::exists(installDir() + QStringLiteral("/started")));

    // The uninstaller follows the same per-user folders as the install (here the test ones).
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"),
                       QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation));
    environment.insert(QStringLiteral("XDG_DATA_HOME"),
                       QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation));
    environment.insert(QStringLiteral("XDG_DESKTOP_DIR"),
                       QStandardPaths::writableLocation(QStandardPaths::DesktopLocation));
    // Another product's entry and link stay.
    Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + "Another Product")
        ->setValue(QStringLiteral("UninstallString"), tmp(QStringLiteral("another/uninst")));
    QVERIFY(QFile::link(tmp(QStringLiteral("another/app")), desktopLink("Another Product")));

    QVERIFY(runTool(startMenuFolder(name) + "/" + translated("language8") + name + ".lnk", {},
                    m_tmp->path(), environment));
    QVERIFY(!QFileInfo::exists(installDir()));
    QVERIFY(!QFileInfo(desktopLink(name)).isSymLink());
    QVERIFY(!QFileInfo::exists(startMenuFolder(name)));
    QVERIFY(checkAlreadyInstall().isEmpty());
    QCOMPARE(uninstallValue("Another Product", "UninstallString"), tmp("another/uninst"));
    QVERIFY(QFileInfo(desktopLink("Another Product")).isSymLink());
}

void tst_InstallThread::repeatedInstall()
{
    const QString stage = tmp(QStringLiteral("stage"));
    QVERIFY(
        TestFiles::write(stage + "/Revanto_x64Minimal" + Product::productExecutable, "product"));
    QVERIFY(pack(stage, {QStringLiteral("Revanto_x64Minimal")}, archivePath()));

    // An earlier install left a link of the same name, pointing elsewhere, and its entry.
    const QString name = displayName();
    QVERIFY(QFile::link(tmp(QStringLiteral("earlier/product")), desktopLink(name)));
    Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + name)
        ->setValue(QStringLiteral("DisplayIcon"), tmp(QStringLiteral("earlier/product")));

    InstallThread thread;
    thread.installDir = installDir();
    thread.archivePath = archivePath();
    QCOMPARE(runInstall(thread).constLast(), QStringLiteral("success"));
    QCOMPARE(QFile::symLinkTarget(desktopLink(name)), tmp(QStringLiteral("earlier/product")));
    const QString product = installDir() + QLatin1String(Product::productExecutable);
    QCOMPARE(uninstallValue(name, "DisplayIcon"), product);

    // A run in another language names a second entry and a second set of links.
    OtherLanguage other;
    QVERIFY(QCoreApplication::installTranslator(&other));
    const QString otherName = displayName();
    QCOMPARE(otherName, QStringLiteral("Other Language Product"));
    // Under the other language the earlier install is not found: its entry has the other name.
    QTest::ignoreMessage(QtDebugMsg, "checkAlreadyInstall \"\"");
    QVERIFY(checkAlreadyInstall().isEmpty());
    thread.installDir = tmp(QStringLiteral("second/lumerixMasterRecovery"));
    const QStringList events = runInstall(thread);
    QCoreApplication::removeTranslator(&other);
    QCOMPARE(events.constLast(), QStringLiteral("success"));

    const QString secondProduct = thread.installDir + QLatin1String(Product::productExecutable);
    QCOMPARE(QFile::symLinkTarget(desktopLink(otherName)), secondProduct);
    QCOMPARE(QFile::symLinkTarget(startMenuFolder(otherName) + "/" + otherName + ".lnk"),
             secondProduct);
    QCOMPARE(uninstallValue(otherName, "DisplayName"), otherName);
    QCOMPARE(uninstallValue(otherName, "DisplayIcon"), secondProduct);
    QCOMPARE(uninstallValue(name, "DisplayIcon"), product);
}

void tst_InstallThread::thirtyTwoBitPackage()
{
    QVERIFY(makePackage(archivePath(), QStringLiteral("x86")));
    InstallThread thread;
    thread.installDir = installDir();
    thread.archivePath = archivePath();
    // The 64-bit package folder is looked for by default.
    QCOMPARE(runInstall(thread), (QStringList{progress(0), failed(3)}));

    thread.is64Bit = false;
    QCOMPARE(runInstall(thread).constLast(), QStringLiteral("success"));
    QVERIFY(QFileInfo(installDir() + QLatin1String(Product::productExecutable)).isExecutable());
}

void tst_InstallThread::catalogueNames_data()
{
    QTest::addColumn<QString>("catalogue");
    QTest::addColumn<QString>("name");
    const bool green = Product::variantFlag;
    QTest::newRow("English") << "en"
                             << QString(green ? "Ovanta RecoveryMaster2" : "Ovanta RecoveryMaster");
    QTest::newRow("Chinese") << "zh" << QString(green ? "Zentaro数据恢复" : "Lumerix恢复大师");
}

void tst_InstallThread::catalogueNames()
{
    QFETCH(QString, catalogue);
    QFETCH(QString, name);

    QTranslator translator;
    QVERIFY(translator.load(":/kovraSetupOnline/language/kovrasetuponline_" + catalogue + ".qm"));
    QCoreApplication::installTranslator(&translator);
    if (displayName() == QLatin1String(Product::displayNameKey) ||
        translated("language8") == QLatin1String("language8")) {
        QCoreApplication::removeTranslator(&translator);
        QSKIP("the catalogue has no display name (context InstallThread) yet");
    }

    const QString stage = tmp(QStringLiteral("stage"));
    QVERIFY(
        TestFiles::write(stage + "/Revanto_x64Minimal" + Product::productExecutable, "product"));
    QVERIFY(pack(stage, {QStringLiteral("Revanto_x64Minimal")}, archivePath()));
    InstallThread thread;
    thread.installDir = installDir();
    thread.archivePath = archivePath();
    const QStringList events = runInstall(thread);
    QCoreApplication::removeTranslator(&translator);
    QCOMPARE(events.constLast(), QStringLiteral("success"));

    QVERIFY(QFileInfo(desktopLink(name)).isSymLink());
    QVERIFY(QFileInfo(startMenuFolder(name) + "/" + name + ".lnk").isSymLink());
    QVERIFY(
        QFileInfo(startMenuFolder(name) + QString::fromUtf8("/卸载") + name + ".lnk").isSymLink());
    QCOMPARE(uninstallValue(name, "DisplayName"), name);
}

void tst_InstallThread::unsafeArchives_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("parent folder in a path") << "parent";
    QTest::newRow("absolute path") << "absolute";
    QTest::newRow("link to a file outside") << "file link";
    QTest::newRow("link to a folder outside") << "folder link";
    QTest::newRow("link inside the package") << "inner link";
    QTest::newRow("hard link (tar)") << "hard link";
}

void tst_InstallThread::unsafeArchives()
{
    QFETCH(QString, kind);

    // The download folder lies two levels down, so "../../" from it is still a folder of ours.
    const QString download = tmp(QStringLiteral("a/b/dl"));
    const QString archive = download + QStringLiteral("/lumerixtemp.7z");
    const QString stage = tmp(QStringLiteral("stage"));
    const QString package = stage + QStringLiteral("/deep/Revanto_x64Minimal");
    QVERIFY(TestFiles::write(package + Product::productExecutable, "product"));
    QVERIFY(TestFiles::write(tmp(QStringLiteral("outside/secret.txt")), "secret"));
    QVERIFY(QDir().mkpath(download));

    if (kind == QLatin1String("parent")) {
        QVERIFY(TestFiles::write(stage + QStringLiteral("/planted.txt"), "planted"));
        QVERIFY(pack(stage + QStringLiteral("/deep"),
                     {QStringLiteral("Revanto_x64Minimal"), QStringLiteral("../planted.txt")},
                     archive, {QStringLiteral("-spf")}));
    } else if (kind == QLatin1String("absolute")) {
        QVERIFY(
            pack(stage + QStringLiteral("/deep"),
                 {QStringLiteral("Revanto_x64Minimal"), tmp(QStringLiteral("outside/secret.txt"))},
                 archive, {QStringLiteral("-spf")}));
    } else if (kind == QLatin1String("file link")) {
        QVERIFY(QFile::link(tmp(QStringLiteral("outside/secret.txt")), package + "/secret.txt"));
        QVERIFY(
            pack(stage + QStringLiteral("/deep"), {QStringLiteral("Revanto_x64Minimal")}, archive));
    } else if (kind == QLatin1String("folder link")) {
        QVERIFY(QFile::link(tmp(QStringLiteral("outside")), package + "/outside"));
        QVERIFY(
            pack(stage + QStringLiteral("/deep"), {QStringLiteral("Revanto_x64Minimal")}, archive));
    } else if (kind == QLatin1String("inner link")) {
        QVERIFY(QFile::link(productName(), package + "/product.lnk"));
        QVERIFY(
            pack(stage + QStringLiteral("/deep"), {QStringLiteral("Revanto_x64Minimal")}, archive));
    } else if (kind == QLatin1String("hard link")) {
        QVERIFY(runTool(QStringLiteral("ln"),
                        {package + Product::productExecutable, package + "/copy.exe"}, stage));
        QVERIFY(runTool(QStringLiteral("tar"),
                        {QStringLiteral("cf"), archive, QStringLiteral("Revanto_x64Minimal")},
                        stage + QStringLiteral("/deep")));
    }
    const QStringList before = entriesOf(m_tmp->path());

    InstallThread thread;
    thread.installDir = installDir();
    thread.archivePath = archive;
    logLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(captureLog);
    const QStringList events = runInstall(thread);
    qInstallMessageHandler(previous);

    QCOMPARE(events, (QStringList{progress(0), failed(3)}));
    const QString refusal = "unzip failed \"" + archive + "\"";
    QVERIFY2(std::any_of(logLines.cbegin(), logLines.cend(),
                         [&](const QString &line) { return line.startsWith(refusal); }),
             qPrintable(logLines.join('\n')));
    // Nothing was unpacked anywhere, and nothing reached the install folder.
    QStringList after = entriesOf(m_tmp->path());
    after.removeAll(QStringLiteral("Program Files"));
    after.removeAll(QStringLiteral("Program Files/lumerixMasterRecovery"));
    QCOMPARE(after, before);
    QCOMPARE(entriesOf(installDir()), QStringList());
}

void tst_InstallThread::judgeListing_data()
{
    QTest::addColumn<QString>("entries");
    QTest::addColumn<bool>("safe");

    QTest::newRow("plain files and folders")
        << "Path = Revanto_x64Minimal\nAttributes = D drwxr-xr-x\n\n"
           "Path = Revanto_x64Minimal/a..b.dll\nAttributes = A -rw-r--r--\nCRC = \n"
        << true;
    QTest::newRow("windows attributes") << "Path = P\\a.dll\nAttributes = RHSA\n" << true;
    QTest::newRow("parent folder") << "Path = P/../../x.dll\n" << false;
    QTest::newRow("parent folder, backslashes") << "Path = P\\..\\..\\x.dll\n" << false;
    QTest::newRow("parent folder with trailing dot") << "Path = ...\\x.dll\n" << false;
    QTest::newRow("absolute path") << "Path = /etc/x\n" << false;
    QTest::newRow("drive letter") << "Path = C:\\Windows\\x.dll\n" << false;
    QTest::newRow("unix link") << "Path = P/l\nAttributes = A lrwxrwxrwx\n" << false;
    QTest::newRow("reparse point") << "Path = P/l\nAttributes = AL\n" << false;
    QTest::newRow("tar link") << "Path = P/l\nMode = lrwxrwxrwx\nSymbolic Link = /etc\n" << false;
    QTest::newRow("tar hard link") << "Path = P/h\nMode = -rw-r--r--\nHard Link = P/a\n" << false;
    QTest::newRow("name with a line break") << "Path = P/a\n../../x\nSize = 1\n" << false;
    QTest::newRow("carriage returns") << "Path = P/a\r\nSize = 1\r\n\r\n" << true;
    QTest::newRow("header only") << QString() << true;
}

void tst_InstallThread::judgeListing()
{
    QFETCH(QString, entries);
    QFETCH(bool, safe);
    const QString listing =
        "Listing archive: /d/lumerixtemp.7z\n\n--\nPath = /d/lumerixtemp.7z\nType = 7z\n"
        "Open WARNING: odd header\n\n----------\n" +
        entries;
    const QString verdict = ArchiveGuard::judgeListing(listing);
    QVERIFY2(verdict.isEmpty() == safe, qPrintable(verdict));
}

void tst_InstallThread::destructorWaitsForInstall()
{
    QVERIFY(makePackage(archivePath()));
    auto *thread = new InstallThread;
    thread->installDir = installDir();
    thread->archivePath = archivePath();
    QSignalSpy success(thread, &InstallThread::installSuccess);
    thread->start();
    // Destroying a running QThread aborts the process; the install must be waited for.
    delete thread;
    QCOMPARE(success.count(), 1);
    QVERIFY(QFileInfo::exists(installDir() + QStringLiteral("/Uninstall.list")));
}

QTEST_GUILESS_MAIN(tst_InstallThread)
#include "tst_installthread.moc"
