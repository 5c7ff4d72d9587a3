#include "core/buildconfig.h"
#include "core/product.h"
#include "install/downloadmanager.h"
#include "install/installthread.h"
#include "support/installerharness.h"
#include "ui/drivespace.h"
#include "ui/kovrasetuponline.h"
#include "ui/progressmapping.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTranslator>
#include <QtTest>

#include <cmath>
#include <functional>
#include <memory>

namespace {

// The ids of the records the window sent, in order, from its debug output.
QStringList g_sent;
QtMessageHandler g_previousHandler = nullptr;

void noteSent(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.startsWith("opration log: "))
        g_sent << message.section('"', 1, 1);
    g_previousHandler(type, context, message);
}

// Acts on the next modal box or dialog, from inside its own event loop, if one comes soon.
void onNextModal(const std::function<void(QWidget *)> &act, int tries = 500)
{
    QTimer::singleShot(20, qApp, [act, tries] {
        if (QWidget *modal = QApplication::activeModalWidget())
            act(modal);
        else if (tries > 0)
            onNextModal(act, tries - 1);
    });
}

// The text of the last message box answered.
QString g_asked;

void answerBox(QMessageBox::StandardButton answer)
{
    onNextModal([answer](QWidget *modal) {
        auto *box = qobject_cast<QMessageBox *>(modal);
        g_asked = box ? box->text() : "<not a message box>";
        box ? box->button(answer)->click() : void(modal->close());
    });
}

} // namespace

// The installer window in-process, in a throw-away home, against the local vendor server.
class tst_window : public QObject
{
    Q_OBJECT

public slots:
    void openUrl(const QUrl &url) { m_urls << url; }

private slots:
    void initTestCase()
    {
        // The installer's own folder names, under the run's home.
        QCoreApplication::setApplicationName("kovraSetupOnline");
        for (const char *name : {"XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME"})
            qunsetenv(name);
        QVERIFY(m_chinese.load(":/kovraSetupOnline/language/kovrasetuponline_zh.qm"));
        QCoreApplication::installTranslator(&m_chinese);
        QDesktopServices::setUrlHandler("http", this, "openUrl");
        g_previousHandler = qInstallMessageHandler(noteSent);
        QVERIFY(h.preparePackages());
    }
    void init()
    {
        QVERIFY(h.beginRun());
        qputenv("HOME", QFile::encodeName(h.home()));
    }
    void cleanup()
    {
        m_window.reset();
        h.endRun();
    }

    void construction()
    {
        openWindow();
        QCOMPARE(page(), int(kovraSetupOnline::CustomInstallPage));
        QCOMPARE(w<QLineEdit>("lineEdit")->text(), h.installDir());
        QVERIFY(w("pushButton_3")->isHidden());
        // Every image, the unticked box's too, is one of this brand's set, and is there (the
        // green set has no minimise image).
        press("label_8");
        const QString set = Product::variantFlag ? "Resources_green/" : "Resources/";
        QStringList images;
        for (const QWidget *widget : m_window->findChildren<QWidget *>())
            images += widget->styleSheet().split("url(").mid(1);
        for (const QString &image : images) {
            const QString path = image.section(')', 0, 0);
            QVERIFY2(path.startsWith(":/kovraSetupOnline/" + set) &&
                         (QFile::exists(path) || path.endsWith("icon_min.png")),
                     qPrintable(path));
        }
        QVERIFY(images.size() >= 14);
    }

    void textsFit()
    {
        for (const char *language : {"zh", "en"}) {
            QTranslator translator;
            QVERIFY(translator.load(QString(":/kovraSetupOnline/language/kovrasetuponline_") +
                                    language));
            QCoreApplication::installTranslator(&translator);
            openWindow();
            QCoreApplication::removeTranslator(&translator);
            // No text is cut at its label's edge; a caption keeps clear of its arrow in its
            // button.
            for (const QLabel *label : m_window->findChildren<QLabel *>())
                QVERIFY2(label->sizeHint().width() <= label->width() || label->text().isEmpty(),
                         qPrintable(label->objectName() + ", " + language));
            for (const char *button : {"btnSetupview", "btnSetupview_2", "btnSetupview_3"}) {
                const QList<QLabel *> parts = w(button)->findChildren<QLabel *>();
                QVERIFY(parts[0]->geometry().right() < parts[1]->x() &&
                        w(button)->rect().contains(parts[1]->geometry()));
            }
        }
    }

    void freeSpace_data()
    {
        QTest::addColumn<quint64>("bytes");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("enough");
        QTest::addColumn<QString>("drive");
        QTest::newRow("one byte short") << quint64(209715199) << "0.20GB" << false << "/d";
        QTest::newRow("exactly 200 MiB") << quint64(209715200) << "0.20GB" << true << "/d";
        QTest::newRow("one GiB") << quint64(1073741824) << "1.00GB" << true << "/d";
        QTest::newRow("13.1 billion") << quint64(13100000000) << "12.20GB" << true << "/d";
        QTest::newRow("a drive not scanned") << quint64(13100000000) << "" << false << "/proc";
    }
    void freeSpace()
    {
        QFETCH(quint64, bytes);
        QFETCH(QString, text);
        QFETCH(bool, enough);
        QFETCH(QString, drive);
        // The maps as the drive scan fills them.
        const QMap<QString, quint64> free{{"/", 0}, {"/d", bytes}};
        const QMap<QString, QString> texts{
            {"/", "0.00GB"}, {"/d", DriveSpace::formatGigabytes(DriveSpace::gigabytes(bytes))}};
        const DriveSpace::Verdict verdict = DriveSpace::check(texts, free, drive);
        QCOMPARE(verdict.text, text);
        QCOMPARE(verdict.enough, enough);
        const QString name = Product::productFolderName;
        QCOMPARE(DriveSpace::productFolder("D:/"), "D:" + name);
        QCOMPARE(DriveSpace::productFolder("//server/share"), "/server/share" + name);
    }

    void progress_data()
    {
        QTest::addColumn<bool>("downloading");
        QTest::addColumn<double>("per");
        QTest::addColumn<int>("shown"); // -1: not shown at all
        QTest::newRow("download 100") << true << 100.0 << 80;
        QTest::newRow("download 79.9") << true << 79.9 << 63;
        // Cut where rounding would show more: 2.9 is 2, 2 * 0.8 is 1.6, 3 * 0.2 + 80 is 80.6.
        QTest::newRow("download 2.9") << true << 2.9 << 1;
        QTest::newRow("install 3") << false << 3.0 << 80;
        QTest::newRow("install 0") << false << 0.0 << 80;
        QTest::newRow("install 100") << false << 100.0 << 100;
        QTest::newRow("not a number") << true << std::nan("") << -1;
        QTest::newRow("infinite") << true << HUGE_VAL << -1;
        QTest::newRow("negative") << true << -3.0 << 0;
        QTest::newRow("beyond int") << true << 1e300 << 80;
    }
    void progress()
    {
        QFETCH(bool, downloading);
        QFETCH(double, per);
        QFETCH(int, shown);
        const std::optional<int> p = ProgressMapping::percent(per);
        QCOMPARE(p ? ProgressMapping::shownValue(downloading, *p) : -1, shown);
        if (!downloading)
            return;
        // The window shows the same, and keeps what it showed for a report that is no number.
        openWindow();
        for (double report : {50.0, per})
            QVERIFY(
                QMetaObject::invokeMethod(m_window.get(), "updateProgress", Q_ARG(double, report)));
        const int bar = shown < 0 ? 40 : shown;
        QCOMPARE(w<QProgressBar>("progressBar")->value(), bar);
        QVERIFY(w<QLabel>("proTxt")->text().endsWith(QString::number(bar) + "%）"));
    }

    void clickRules_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("release");
        QTest::addColumn<QString>("id"); // empty: nothing is sent
        QTest::newRow("minimise pressed") << "label_min" << false << "";
        QTest::newRow("minimise released") << "label_min" << true << "pc-install-min";
        QTest::newRow("close, No") << "lbClose" << false << "pc-install-close";
        QTest::newRow("close released") << "lbClose" << true << "";
        QTest::newRow("start released") << "btnSetupview_3" << true << "";
        QTest::newRow("link") << "lb_agreement_2" << false << "pc-install-agreement";
        QTest::newRow("quick link") << "lb_agreement" << false << "pc-install-agreement";
        QTest::newRow("custom link") << "lb_custom" << false << "pc-install-custom";
        QTest::newRow("install caption") << "label_13" << false << "pc-install-go";
        QTest::newRow("quick install") << "btnSetupview" << false << "pc-install-go";
        QTest::newRow("box") << "label_8" << false << "pc-install-check";
        QTest::newRow("quick box") << "label_4" << false << "pc-install-check";
    }
    void clickRules()
    {
        QFETCH(QString, name);
        QFETCH(bool, release);
        QFETCH(QString, id);
        h.server().setPackageMode("stall"); // an install stays in its download
        openWindow();
        if (id == "pc-install-close")
            answerBox(QMessageBox::No);
        release ? QTest::mouseRelease(w(name), Qt::LeftButton) : press(name);
        QCOMPARE(g_sent, id.isEmpty() ? QStringList() : QStringList{id});
        const char *question = id == "pc-install-close" ? "language4" : "";
        QCOMPARE(g_asked, QCoreApplication::translate("kovraSetupOnline", question));
        const bool installing = id == "pc-install-go";
        QCOMPARE(page(), int(installing ? kovraSetupOnline::ProgressPage
                                        : kovraSetupOnline::CustomInstallPage));
        QCOMPARE(w("lbClose")->isHidden(), installing);
        QVERIFY(m_window->isVisible());
        QCOMPARE(m_window->isMinimized(), id == "pc-install-min");
        const QUrl agreement(QString(BuildConfig::agreementHostUrl) + "/agreement.html");
        QCOMPARE(m_urls, id == "pc-install-agreement" ? QList<QUrl>{agreement} : QList<QUrl>());
        // The unticked box disables both install buttons.
        QCOMPARE(enabledButtons(), id == "pc-install-check" ? 0 : 2);
    }

    // Records sent in quick succession reach the server in that order, though it handles them
    // side by side and holds each up to 300 ms at random.
    void recordsInSendOrder()
    {
        QVERIFY(h.beginRun(300));
        openWindow("x_order-1");
        for (int round = 0; round < 3; ++round)
            for (const char *name : {"label_8", "lb_agreement_2", "lb_custom"})
                press(name);
        QTRY_COMPARE_WITH_TIMEOUT(ids(h.server(), "order"), g_sent, 20000);
    }

    void chooseFolder_data()
    {
        QTest::addColumn<QString>("folder"); // empty: the dialog is cancelled
        QTest::addColumn<bool>("room");
        QTest::newRow("cancelled") << QString() << true;
        QTest::newRow("a folder with room") << QDir::tempPath() << true;
        QTest::newRow("a volume not scanned") << "/proc/sys" << false;
    }
    void chooseFolder()
    {
        QFETCH(QString, folder);
        QFETCH(bool, room);
        openWindow();
        // Whichever of the box and the space check comes last decides about the buttons.
        press("label_8");
        onNextModal([folder](QWidget *dialog) {
            static_cast<QFileDialog *>(dialog)->setDirectory(folder);
            folder.isEmpty() ? void(dialog->close()) : static_cast<QDialog *>(dialog)->accept();
        });
        QTest::mouseClick(w("btnDir"), Qt::LeftButton);
        // A press on a disabled install button starts nothing.
        if (!enabledButtons())
            press("btnSetupview_2");
        QCOMPARE(page(), int(kovraSetupOnline::CustomInstallPage));
        QCOMPARE(g_sent, QStringList({"pc-install-check", "pc-install-selectdir"}));
        QCOMPARE(w<QLineEdit>("lineEdit")->text(),
                 folder.isEmpty() ? h.installDir() : folder + Product::productFolderName);
        QCOMPARE(enabledButtons(), room && !folder.isEmpty() ? 2 : 0);
        QCOMPARE(w<QLabel>("lb_size2")->text().isEmpty(), !room);
        press("label_8");
        QCOMPARE(enabledButtons(), 2);
        QCOMPARE(w("label_7")->isVisible(), !room);
    }

    void drag()
    {
        openWindow();
        QWidget *frame = w("frame");
        const QPoint start = m_window->pos(), at = frame->mapToGlobal(QPoint(300, 40));
        const QPoint to = at + QPoint(37, 23);
        // Through the frame, as a real press: the frame leaves it to the window.
        const auto send = [frame](QEvent::Type type, QPoint global, Qt::MouseButton button,
                                  Qt::MouseButtons held) {
            QMouseEvent event(type, frame->mapFromGlobal(global), global, button, held, {});
            QApplication::sendEvent(frame, &event);
        };
        // Only a left press turns a move with the left button held into a drag, which keeps
        // the grabbed point under the cursor and ends with the release.
        for (Qt::MouseButton button : {Qt::RightButton, Qt::LeftButton}) {
            send(QEvent::MouseButtonPress, at, button, button);
            send(QEvent::MouseMove, to, Qt::NoButton, Qt::LeftButton);
            QCOMPARE(m_window->pos(), start + (button == Qt::LeftButton ? to - at : QPoint()));
            send(QEvent::MouseButtonRelease, to, button, Qt::NoButton);
        }
        send(QEvent::MouseMove, at, Qt::NoButton, Qt::LeftButton);
        QCOMPARE(m_window->pos(), start + to - at);
    }

    void slideshow()
    {
        openWindow();
        auto *slides = w<QStackedWidget>("stackedWidget_2");
        QList<int> shown;
        for (int step = 0; step < 4; ++step) {
            // Each step arms the next one itself; the others are taken at once.
            if (step == 1)
                QTRY_COMPARE_WITH_TIMEOUT(slides->currentIndex(), 1, 10000);
            else
                QVERIFY(QMetaObject::invokeMethod(m_window.get(), "changePage"));
            shown << slides->currentIndex();
        }
        QCOMPARE(shown, QList<int>({0, 1, 2, 0}));
    }

    void failures_data()
    {
        QTest::addColumn<QString>("fault"); // a server mode, a bad package, the product running
        QTest::newRow("server down") << "down";
        QTest::newRow("error status") << "status-404";
        QTest::newRow("closed unanswered") << "hangup";
        QTest::newRow("half a minute silent") << "stall";
        QTest::newRow("dropped halfway") << "drop";
        QTest::newRow("truncated package") << "truncated";
        QTest::newRow("corrupt package") << "corrupt";
        QTest::newRow("product running") << "running";
    }
    void failures()
    {
        QFETCH(QString, fault);
        // Downloaded, a bad package or a running product fails the install; otherwise the
        // download fails.
        const bool badPackage = fault == "truncated" || fault == "corrupt";
        const bool installFails = badPackage || fault == "running";
        QVERIFY(h.usePackage(badPackage ? fault : "good"));
        fault == "down" ? h.server().stop() : h.server().setPackageMode(installFails ? "" : fault);
        QProcess product; // a process whose executable lies in the earlier installation
        if (fault == "running") {
            QVERIFY(QDir().mkpath(h.installDir()));
            QVERIFY(QFile::copy("/bin/sleep", h.installDir() + "/sleep"));
            product.start(h.installDir() + "/sleep", {"60"});
            QVERIFY(product.waitForStarted());
        }
        openWindow();
        // A failed download holds its thread a moment after reporting: the re-install press
        // below comes while that thread still ends.
        connect(
            m_window->findChild<DownloadManager *>(), &DownloadManager::downLoadErr, this,
            [] { QThread::msleep(1000); }, Qt::DirectConnection);
        press("btnSetupview_2");
        QTRY_VERIFY_WITH_TIMEOUT(w("pushButton_3")->isVisible(), 60000);
        const QString code = fault == "running" ? "4" : "3";
        QCOMPARE(w<QLabel>("proTxt")->text(), fault == "running"
                                                  ? "产品正在运行，请关闭后点击重新安装。"
                                              : badPackage ? "安装失败1-!3"
                                                           : "安装失败2-!0");
        QVERIFY(w("lbClose")->isVisible());
        QCOMPARE(g_sent.value(g_sent.size() - 1),
                 installFails ? QString("pc-install-failedcode-" + code) : "pc-load-failedcode-0");
        // No package, partial download or unpacked tree is left to fill the disk.
        QCOMPARE(h.downloads(), QStringList());
        product.kill();
        product.waitForFinished();

        // A good package again: the re-install runs the whole download and install.
        QVERIFY(fault != "down" || h.server().start(VendorServer::productionPort()));
        h.server().setPackageMode("normal");
        QVERIFY(h.usePackage("good"));
        g_sent.clear();
        QTest::mouseClick(w("pushButton_3"), Qt::LeftButton);
        QCOMPARE(w<QProgressBar>("progressBar")->value(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(page(), int(kovraSetupOnline::FinishedPage), 60000);
        QCOMPARE(g_sent, QStringList({"pc-install-failed", "pc-load-ok", "pc-install-success"}));
    }

    void wholeInstall_data()
    {
        QTest::addColumn<QString>("channel");
        QTest::addColumn<bool>("testChannel");
        QTest::addColumn<QString>("name");
        QTest::newRow("production channel") << "setup_kvwin-5150" << false << "kvwin";
        QTest::newRow("test channel") << "x_web#kvtst-1" << true << "web";
    }
    void wholeInstall()
    {
        QFETCH(QString, channel);
        QFETCH(bool, testChannel);
        QFETCH(QString, name);
        // Half a second of download, so that the bar shows it as it goes.
        h.server().setPackageMode("slow-2048");
        const VendorServer &records = testChannel ? h.testServer() : h.server();
        openWindow(channel);
        QList<int> values;
        connect(w<QProgressBar>("progressBar"), &QProgressBar::valueChanged, this,
                [&values](int value) { values << value; });
        // The clean-up after the success is held: the close at the end does not wait for it.
        connect(
            m_window->findChild<InstallThread *>(), &InstallThread::installSuccess, this,
            [] { QThread::msleep(3000); }, Qt::DirectConnection);
        press("btnSetupview_2");
        QTRY_COMPARE_WITH_TIMEOUT(page(), int(kovraSetupOnline::FinishedPage), 60000);
        // The download fills the bar to 80, the install goes on from there, never backwards.
        QVERIFY(!values.isEmpty() && values.first() < 80 && values.contains(80) &&
                values.last() > 80 && std::is_sorted(values.cbegin(), values.cend()));
        QTRY_COMPARE(ids(records, name),
                     QStringList({"pc-install-go", "pc-load-ok", "pc-install-success"}));
        // The package always comes from production; the test channel's records never go there.
        QCOMPARE(h.server().requestPaths("GET"), QStringList{Product::packagePath});
        QCOMPARE(ids(h.server(), name).isEmpty(), testChannel);
        // Finished, the close question asks whether to close the installer; Yes closes it.
        answerBox(QMessageBox::Yes);
        press("lbClose");
        QCOMPARE(g_asked, QCoreApplication::translate("kovraSetupOnline", "language3"));
        QVERIFY(!m_window->isVisible());
    }

private:
    // The ids of one channel's records: an earlier window's last ones may still be on their way.
    static QStringList ids(const VendorServer &server, const QString &channel)
    {
        QStringList ids;
        for (const QJsonObject &record : server.records())
            ids << (record.value("apkChannel") == channel ? record.value("btnId").toString() : "");
        return ids.filter("pc-");
    }
    void openWindow(const QString &channel = "setup_other-1")
    {
        g_sent.clear();
        g_asked.clear();
        m_urls.clear();
        m_window = std::make_unique<kovraSetupOnline>();
        m_window->setChannel(channel);
        m_window->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_window.get()));
    }
    template<typename T = QWidget> T *w(const QString &n) const
    {
        return m_window->findChild<T *>(n);
    }
    void press(const QString &name) { QTest::mousePress(w(name), Qt::LeftButton); }
    int page() const { return w<QStackedWidget>("stackedWidget")->currentIndex(); }
    int enabledButtons() const
    {
        return w("btnSetupview")->isEnabled() + w("btnSetupview_2")->isEnabled();
    }

    InstallerHarness h;
    QTranslator m_chinese;
    std::unique_ptr<kovraSetupOnline> m_window;
    QList<QUrl> m_urls;
};

QTEST_MAIN(tst_window)
#include "tst_window.moc"
