#include "core/product.h"
#include "install/archiveguard.h"
#include "install/installthread.h"
#include "install/uninstallentry.h"
#include "platform/platform.h"
#include "support/testfiles.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QSettings>
#include <QtTest>

#include <sys/stat.h>

// The install thread with the real 7-Zip: packages good and bad, folders empty, taken and
// linked, earlier installations and their registration.
namespace {

const QString pkg = QStringLiteral("Revanto_x64Minimal");
const QString product = QString::fromLatin1(Product::productExecutable).mid(1);
const QString uninstaller = QString::fromLatin1(Product::uninstallerExecutable).mid(1);
const QString name = QString::fromLatin1(Product::displayNameKey); // no catalogue loaded

QString location(QStandardPaths::StandardLocation where, const QString &relative = {})
{
    return QStandardPaths::writableLocation(where) + relative;
}
QString uninstallList()
{
    return location(QStandardPaths::GenericConfigLocation, "/kovra/uninstall-list.ini");
}
QString desktopLink()
{
    return location(QStandardPaths::DesktopLocation, QLatin1Char('/') + name + ".lnk");
}
QString startMenuLink(const QString &prefix = {})
{
    return location(QStandardPaths::ApplicationsLocation,
                    "/" + name + "/" + prefix + name + ".lnk");
}

bool run(const QString &program, const QStringList &arguments, const QString &folder)
{
    QProcess tool;
    tool.setWorkingDirectory(folder);
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(program, arguments);
    tool.closeWriteChannel();
    const bool ok = tool.waitForFinished(120000) && tool.exitCode() == 0;
    if (!ok)
        qWarning("%s: %s", qPrintable(program), tool.readAll().constData());
    return ok;
}

// Every entry below folder, relative, sorted; links are listed, not followed.
QStringList entries(const QString &folder)
{
    QStringList found;
    QDirIterator it(folder, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(it.next().mid(folder.size() + 1));
    found.sort();
    return found;
}

// The installation as the user meets it: the product folder's files and contents, the uninstall
// list on disk and the three links.
QStringList state(const QString &dir)
{
    QStringList state{TestFiles::read(uninstallList())};
    for (const QString &link : {desktopLink(), startMenuLink(), startMenuLink("language8")})
        state << QFile::symLinkTarget(link);
    for (const QString &entry : entries(dir))
        state << entry + ' ' + TestFiles::read(dir + '/' + entry);
    return state;
}

} // namespace

class tst_install : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void outcome_data();
    void outcome();
    void judgeListing_data();
    void judgeListing();
    void destructorWaitsForInstall();

private:
    QString tmp(const QString &relative) const { return m_tmp->filePath(relative); }
    // Packs the files (relative to a stage folder, a trailing "/" makes a folder) into archive.
    bool pack(const QStringList &files, const QString &archive, const QStringList &switches = {});
    QStringList install(const QString &archive, const QString &dir, bool is64Bit = true);

    std::unique_ptr<QTemporaryDir> m_tmp;
    QTemporaryDir m_outside;
    QString m_dl, m_archive, m_dir;
};

void tst_install::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    // The distribution beside the installer: two files to ship, one of them listed twice, a file
    // through a linked folder, which leads out of the folder, and the installer itself.
    const QString beside = QCoreApplication::applicationDirPath();
    QVERIFY(TestFiles::write(beside + "/shipped.dll", "shipped"));
    QVERIFY(TestFiles::write(beside + "/sub/last.dll", "last"));
    QVERIFY(TestFiles::write(m_outside.filePath("secret.txt"), "secret"));
    QFile::remove(beside + "/linked");
    QVERIFY(QFile::link(m_outside.path(), beside + "/linked"));
    QVERIFY(TestFiles::write(
        beside + "/distribution.list",
        "shipped.dll\n./shipped.dll\nlinked/secret.txt\nsub/last.dll\n" +
            QFileInfo(QCoreApplication::applicationFilePath()).fileName().toUtf8()));
}

void tst_install::init()
{
    m_tmp = std::make_unique<QTemporaryDir>();
    QDir::setCurrent(m_tmp->path()); // where a relative install folder would land
    m_dl = tmp("dl");
    m_archive = m_dl + "/lumerixtemp.7z";
    m_dir = tmp("Program Files") + QLatin1String(Product::productFolderName);
    QVERIFY(QDir().mkpath(m_dl));
    for (auto where : {QStandardPaths::DesktopLocation, QStandardPaths::ApplicationsLocation,
                       QStandardPaths::GenericConfigLocation})
        QVERIFY(QDir(location(where)).removeRecursively() && QDir().mkpath(location(where)));
}

bool tst_install::pack(const QStringList &files, const QString &archive,
                       const QStringList &switches)
{
    static int packs = 0;
    const QString stage = tmp("stage" + QString::number(++packs));
    QFile::remove(archive);
    for (const QString &file : files) {
        if (file.endsWith('/') ? !QDir().mkpath(stage + '/' + file)
                               : !TestFiles::write(stage + '/' + file, file.toUtf8()))
            return false;
    }
    QDir().mkpath(QFileInfo(archive).path());
    return run("7z",
               QStringList{"a", "-bd", archive} + switches +
                   QDir(stage).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
               stage);
}

QStringList tst_install::install(const QString &archive, const QString &dir, bool is64Bit)
{
    InstallThread thread;
    thread.installDir = dir;
    thread.archivePath = archive;
    thread.is64Bit = is64Bit;
    QStringList events; // written by the worker only, read once it has ended
    connect(
        &thread, &InstallThread::installProgress, &thread,
        [&](double per) { events << QString::number(per); }, Qt::DirectConnection);
    connect(
        &thread, &InstallThread::installSuccess, &thread, [&] { events << "success"; },
        Qt::DirectConnection);
    connect(
        &thread, &InstallThread::installFailed, &thread,
        [&](int code) { events << QString("failed %1").arg(code); }, Qt::DirectConnection);
    connect(
        &thread, &InstallThread::productRunning, &thread, [&] { events << "running"; },
        Qt::DirectConnection);
    thread.start();
    thread.wait();
    return events;
}

void tst_install::outcome_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("earlier"); // an earlier installation, registered and linked
    QTest::addColumn<QString>("outcome");
    const auto row = [](const char *name, const char *setup, bool earlier, const char *outcome) {
        QTest::newRow(name) << QString(setup) << earlier << QString(outcome);
    };
    // The good package: a data file and the product; the distribution: two files of four listed
    // (one twice, one through a linked folder, the installer left out), so the install's last
    // step stays below 100.
    row("good package", "good", false, "0 35 70 80 90 success");
    row("archive missing", "missing", false, "0 failed 1");
    row("32-bit package, 64-bit wanted", "x86", true, "0 failed 3");
    row("32-bit package, 32-bit wanted", "x86 wanted", false, "success");
    row("no product executable", "no product", false, "failed 3");
    row("product executable is a folder", "product folder", true, "failed 3");
    row("entry climbs out", "parent", true, "0 failed 3");
    row("absolute entry", "absolute", false, "0 failed 3");
    row("link entry", "link", true, "0 failed 3");
    row("not an archive", "garbage", false, "0 failed 3");
    row("truncated archive", "truncated", true, "0 failed 3");
    row("damaged data, listing intact", "damaged", true, "failed 3");
    row("encrypted archive", "encrypted", false, "failed 3");
    row("path too long for the system", "long", false, "0 failed 3");
    row("first shipped file blocked", "bookkeeping shipped.dll/x", true, "70 failed 4");
    row("last shipped file blocked", "bookkeeping sub", true, "80 failed 4");
    row("folder named Uninstall", "bookkeeping Uninstall/x", true, "90 failed 4");
    row("folder named Qt5Encry.dll", "bookkeeping Qt5Encry.dll/x", true, "90 failed 4");
    row("folder named Uninstall.list", "bookkeeping Uninstall.list/x", true, "90 failed 4");
    row("uninstall list unwritable", "store", true, "90 failed 4");
    row("last link blocked", "link blocked", true, "90 failed 4");
    row("product running", "running", true, "running failed 4");
    row("file in package and distribution", "clash", true, "0 failed 4");
    row("relative install folder", "relative", false, "0 failed 4");
    row("folder name not in the system's encoding", "lossy", false, "0 failed 4");
    row("wildcards in the download and product folders", "wildcard", false, "success");
    row("no applications folder yet", "no menu", false, "success");
    row("links of the same name", "stale links", false, "success");
    row("earlier installation", "earlier", true, "success");
    row("commas in the paths", "commas", true, "success");
    row("unparsable line in the uninstall list", "bad store", true, "success");
    row("user's files in the folder", "user files", false, "success");
    row("list is a pipe", "fifo", false, "success");
    row("list leads to an endless device", "zero", false, "success");
    row("product folder is a link", "linked folder", false, "success");
}

void tst_install::outcome()
{
    QFETCH(QString, setup);
    QFETCH(bool, earlier);
    QFETCH(QString, outcome);
    const QString exe = pkg + '/' + product;
    QStringList files{pkg + "/data/a.bin", exe};
    QString dir = m_dir;
    bool is64Bit = true;

    if (setup == "x86" || setup == "x86 wanted") {
        files.replaceInStrings(pkg, "Revanto_x86Minimal");
        is64Bit = setup == "x86";
    } else if (setup == "no product") {
        files.removeLast();
    } else if (setup == "product folder") {
        files.last() += "/inside.txt";
    } else if (setup.startsWith("bookkeeping ")) {
        files << pkg + '/' + setup.section(' ', 1);
    } else if (setup == "clash") {
        files << pkg + "/shipped.dll";
    } else if (setup == "wildcard") {
        // A second folder that the patterns match holds another package.
        QVERIFY(pack({exe, pkg + "/intruder.txt"}, tmp("dXl a[x]/lumerixtemp.7z")));
        m_dl = tmp("d*l ?[x]");
        m_archive = m_dl + "/lumerixtemp.7z";
        dir = tmp("p*r ?[x]") + Product::productFolderName;
    } else if (setup == "no menu") {
        QVERIFY(QDir(location(QStandardPaths::ApplicationsLocation)).removeRecursively());
    } else if (setup == "relative") {
        dir = "relative" + QLatin1String(Product::productFolderName);
    } else if (setup == "lossy") {
        dir = tmp("home\uFFFD") + Product::productFolderName;
    } else if (setup == "long") { // the folder's name fits, the unpacked package's would not
        for (dir = m_tmp->path() + '/'; dir.size() < 3840;)
            dir += QString(199, 'x') + '/';
        dir += QString(4048 - dir.size(), 'y') + Product::productFolderName;
    } else if (setup == "commas") {
        dir = tmp("Pro,gram Files") + Product::productFolderName;
        files << pkg + "/data/b,c.bin";
    } else if (setup == "bad store") {
        QVERIFY(TestFiles::write(uninstallList(), "[a]\nnot a setting\n"));
    }
    if (setup == "parent" || setup == "absolute") {
        QVERIFY(TestFiles::write(tmp("outside/secret.txt"), "secret"));
        QVERIFY(pack(files, m_archive));
        const QString entry =
            setup == "parent" ? "../outside/secret.txt" : tmp("outside/secret.txt");
        QVERIFY(run("7z", {"a", "-bd", "-spf", m_archive, entry}, m_dl));
    } else if (setup == "link") {
        QVERIFY(pack(files, m_archive));
        QVERIFY(QDir().mkpath(tmp("linkstage/" + pkg)));
        QVERIFY(QFile::link(tmp("outside"), tmp("linkstage/" + pkg + "/out")));
        QVERIFY(run("7z", {"a", "-bd", m_archive, pkg}, tmp("linkstage")));
    } else if (setup == "garbage") {
        QVERIFY(TestFiles::write(m_archive, QByteArray(4096, 'x')));
    } else if (setup == "truncated" || setup == "damaged" || setup == "encrypted") {
        QVERIFY(pack(files, m_archive,
                     setup == "encrypted" ? QStringList{"-psecret", "-mx0"} : QStringList{"-mx0"}));
        // Stored data begins after the 32-byte signature header; the listing is at the end.
        QFile archive(m_archive);
        QVERIFY(archive.open(QIODevice::ReadWrite));
        if (setup == "truncated")
            QVERIFY(archive.resize(archive.size() - 40));
        else if (setup == "damaged")
            QVERIFY(archive.seek(33) && archive.putChar('#'));
    } else if (setup != "missing") {
        QVERIFY(pack(files, m_archive));
    }

    const QString linked = tmp("elsewhere");
    QProcess running;
    if (earlier) {
        // Registered and linked differently from what this install would write.
        QVERIFY(pack({exe, pkg + "/gone.txt"}, tmp("earlier/lumerixtemp.7z")));
        QCOMPARE(install(tmp("earlier/lumerixtemp.7z"), dir).constLast(), QString("success"));
        QVariantMap entry = UninstallEntry::values(name);
        entry.insert("DisplayVersion", "0.9");
        QVERIFY(UninstallEntry::restore(name, entry));
        QVERIFY(QFile::remove(desktopLink()) && QFile::link(dir + "/gone.txt", desktopLink()));
    }
    if (setup == "stale links") {
        QVERIFY(QFile::link(tmp("old/product"), desktopLink()));
        QVERIFY(QDir().mkpath(QFileInfo(startMenuLink()).path()));
        QVERIFY(QFile::link(tmp("old/product"), startMenuLink()));
    } else if (setup == "store") {
        QVERIFY(QFile::rename(uninstallList(), uninstallList() + ".kept"));
        QVERIFY(QDir().mkpath(uninstallList()));
    } else if (setup == "link blocked") {
        QVERIFY(QFile::remove(startMenuLink("language8")) &&
                QDir().mkpath(startMenuLink("language8")));
    } else if (setup == "running") { // a process whose executable lies in the folder
        QVERIFY(QFile::copy("/bin/sleep", dir + "/sleep"));
        running.start(dir + "/sleep", {"60"});
        QVERIFY(running.waitForStarted());
    } else if (setup == "user files") {
        QVERIFY(TestFiles::write(dir + "/Recovered photos/a.jpg", "photo"));
        QVERIFY(TestFiles::write(dir + ".old/kept", "taken"));
    } else if (setup == "fifo" || setup == "zero") {
        QVERIFY(QDir().mkpath(dir));
        QVERIFY(setup == "fifo" ? mkfifo(QFile::encodeName(dir + "/Uninstall.list"), 0600) == 0
                                : QFile::link("/dev/zero", dir + "/Uninstall.list"));
    } else if (setup == "linked folder") { // even one that holds only an installation
        QVERIFY(TestFiles::write(linked + "/keep.txt", "keep"));
        QVERIFY(TestFiles::write(linked + "/Uninstall.list",
                                 (dir + "/keep.txt," + dir + "/Uninstall.list,").toUtf8()));
        QVERIFY(QDir().mkpath(QFileInfo(dir).path()) && QFile::link(linked, dir));
    }
    const QStringList outsideBefore = entries(tmp("outside"));
    const QStringList before = earlier ? state(dir) : QStringList();

    const QStringList events = install(m_archive, dir, is64Bit);
    running.kill(); // the product that ran from the folder ends with the row
    running.waitForFinished();
    const QString happened = ' ' + events.join(' ');
    QVERIFY2(happened.endsWith(' ' + outcome), qPrintable(happened));
    QCOMPARE(entries(tmp("outside")), outsideBefore);
    QVERIFY(!QFileInfo::exists("relative"));
    // Nothing of the run stays beside the product folder, in the download folder, or as journal.
    const QString folderName = QFileInfo(dir).fileName();
    const QStringList beside = QDir(QFileInfo(dir).path()).entryList({folderName + ".*"});
    QCOMPARE(entries(m_dl), QStringList());
    QVERIFY(!QFileInfo::exists(
        location(QStandardPaths::GenericConfigLocation, "/kovra/install-journal.json")));

    if (!outcome.endsWith("success")) {
        // The earlier installation, its entry and links as they were; else no product folder.
        QCOMPARE(beside, QStringList());
        if (earlier)
            QCOMPARE(state(dir), before);
        else
            QVERIFY(!QFileInfo::exists(QFileInfo(dir).path()));
        return;
    }
    const QString productPath = dir + '/' + product;
    QVERIFY(QFileInfo(productPath).isFile());
    QCOMPARE(UninstallEntry::command(name), dir + '/' + uninstaller);
    QCOMPARE(QFile::symLinkTarget(desktopLink()), productPath);
    QCOMPARE(QFile::symLinkTarget(startMenuLink()), productPath);
    QCOMPARE(QFile::symLinkTarget(startMenuLink("language8")), dir + '/' + uninstaller);
    QStringList kept = setup == "user files" ? QStringList{".old", ".old2"}
                       : setup == "fifo" || setup == "zero" || setup == "linked folder"
                           ? QStringList{".old"}
                           : QStringList();
    QCOMPARE(beside, kept.replaceInStrings(QRegularExpression("^"), folderName));
    if (setup == "good" || setup == "wildcard") {
        QStringList expected{"Qt5Encry.dll", "Uninstall",  "Uninstall.list",
                             "data",         "data/a.bin", product,
                             "shipped.dll",  "sub",        "sub/last.dll"};
        expected.sort();
        QCOMPARE(entries(dir), expected);
        QCOMPARE(TestFiles::read(dir + "/Uninstall"), "rm -rf \"" + dir.toUtf8() + '"');
        QCOMPARE(TestFiles::read(dir + "/Qt5Encry.dll"),
                 QByteArray("Default,27758b275ff6cdbd98bc093ec9416b3d,0000000000000000"));
        const QStringList listed{"data/a.bin",     product,     "shipped.dll", "sub/last.dll",
                                 "Uninstall.list", "Uninstall", "Qt5Encry.dll"};
        QCOMPARE(TestFiles::read(dir + "/Uninstall.list"),
                 (dir + '/' + listed.join(',' + dir + '/') + ',').toUtf8());
        const auto entry =
            Platform::openUninstallEntry(QLatin1String(Product::uninstallKeyRoot) + name);
        QCOMPARE(entry->value("DisplayIcon").toString(), productPath);
        QCOMPARE(entry->value("DisplayName").toString() + entry->value("Publisher").toString(),
                 name + name);
        QCOMPARE(entry->value("DisplayVersion").toString(), QString("1.2.1"));
    } else if (earlier) {
        QVERIFY(!QFileInfo::exists(dir + "/gone.txt"));
    } else if (setup == "user files") { // moved aside whole, beside an earlier ".old"
        QCOMPARE(TestFiles::read(dir + ".old2/Recovered photos/a.jpg"), QByteArray("photo"));
        QCOMPARE(TestFiles::read(dir + ".old/kept"), QByteArray("taken"));
        QVERIFY(!QFileInfo::exists(dir + "/Recovered photos"));
    } else if (setup == "linked folder") {
        QCOMPARE(entries(linked), (QStringList{"Uninstall.list", "keep.txt"}));
        QVERIFY(!QFileInfo(dir).isSymLink());
    }
}

void tst_install::judgeListing_data()
{
    // Paths that climb out are the random-input test's; here the links and the sizes.
    QTest::addColumn<QString>("entries");
    QTest::addColumn<QString>("verdict");
    const auto row = [](const char *name, const char *entries, const char *verdict) {
        QTest::newRow(name) << QString(entries) << QString(verdict);
    };
    row("plain, sizes summed",
        "Path = P\nFolder = +\n\nPath = P/a..b\nSize = 5\n\nPath = Q\\x\nSize = 4097\r\n",
        "4102 in 3, on 4 KiB blocks 16384");
    row("unix link", "Path = P/l\nAttributes = A lrwxrwxrwx\n", "link entry");
    row("reparse point", "Path = P/l\nAttributes = AL\n", "link entry");
    row("tar link", "Path = P/l\nSymbolic Link = /etc\n", "link entry");
    row("tar hard link", "Path = P/h\nHard Link = P/a\n", "link entry");
    row("name with a line break", "Path = P/a\n../../x\nSize = 1\n", "unreadable");
}

void tst_install::judgeListing()
{
    QFETCH(QString, entries);
    QFETCH(QString, verdict);
    const ArchiveGuard::Listing listing = ArchiveGuard::judgeListing(
        "Listing archive: ./a.7z\n\n--\nPath = ./a.7z\nType = 7z\nSize = 99\n\n----------\n" +
        entries);
    const QString judged = listing.refusal.isEmpty()
                               ? QString("%1 in %2, on 4 KiB blocks %3")
                                     .arg(listing.unpackedBytes)
                                     .arg(listing.entries.size())
                                     .arg(ArchiveGuard::diskBytes(listing, 4096))
                               : listing.refusal;
    QVERIFY2(judged.startsWith(verdict), qPrintable(judged));
}

void tst_install::destructorWaitsForInstall()
{
    QVERIFY(pack({pkg + '/' + product}, m_archive));
    auto *thread = new InstallThread;
    thread->installDir = m_dir;
    thread->archivePath = m_archive;
    QSignalSpy success(thread, &InstallThread::installSuccess);
    thread->start();
    // Destroying a running thread would end the process; the install is waited for.
    delete thread;
    QCOMPARE(success.count(), 1);
}

QTEST_GUILESS_MAIN(tst_install)
#include "tst_install.moc"
