#include "app/product.h"
#include "ui/kovrasetuponline.h"

#include <QGraphicsDropShadowEffect>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QStackedWidget>
#include <QtTest>

#include <memory>

namespace {

// The labels that show nothing but an image from their style sheet.
const QStringList imageLabels = {
    QStringLiteral("label_2"),   QStringLiteral("label_4"),  QStringLiteral("label_6"),
    QStringLiteral("label_8"),   QStringLiteral("label_15"), QStringLiteral("label_17"),
    QStringLiteral("label_min"), QStringLiteral("label_20"), QStringLiteral("label_21"),
    QStringLiteral("label_25"),  QStringLiteral("label_18"), QStringLiteral("label_29"),
    QStringLiteral("label_31"),  QStringLiteral("lbClose")};

QString imageSet()
{
    return Product::variantFlag ? QStringLiteral("Resources_green/") : QStringLiteral("Resources/");
}

QStringList debugLines;

void collectDebug(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg)
        debugLines << message;
}

template<typename T> T *child(QWidget &window, const char *name)
{
    T *found = window.findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qWarning("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

} // namespace

class tst_window : public QObject
{
    Q_OBJECT

private slots:
    void construction();
    void pages();
    void imageLabelsShowOnlyTheirImage();
    void brandImageSet();
    void styleSheetImagesExist();
    void resourceImages_data();
    void resourceImages();
    void windowIcon();
    void slideshowOrder();
    void slideshowTimer();
};

void tst_window::construction()
{
    kovraSetupOnline window;
    QVERIFY(window.windowFlags().testFlag(Qt::FramelessWindowHint));
    QVERIFY(window.windowFlags().testFlag(Qt::Window));
    QVERIFY(window.testAttribute(Qt::WA_TranslucentBackground));
    QCOMPARE(window.windowTitle(), QStringLiteral("kovraSetupOnline"));
    QCOMPARE(window.size(), QSize(660, 370));

    auto *frame = child<QFrame>(window, "frame");
    QVERIFY(frame);
    QCOMPARE(frame->geometry(), QRect(5, 5, 650, 360));
    auto *shadow = qobject_cast<QGraphicsDropShadowEffect *>(frame->graphicsEffect());
    QVERIFY2(shadow, "the frame carries no drop shadow");
    QCOMPARE(shadow->offset(), QPointF(0, 0));
    QCOMPARE(shadow->blurRadius(), 10.0);
    QCOMPARE(shadow->color().rgb() & 0xffffff, 0u);
    QCOMPARE(qRound(shadow->color().alphaF() * 100), 30);

    auto *progress = child<QProgressBar>(window, "progressBar");
    QVERIFY(progress);
    QCOMPARE(progress->value(), 0);
    QVERIFY(!progress->isTextVisible());
    auto *folder = child<QLineEdit>(window, "lineEdit");
    QVERIFY(folder);
    QVERIFY(!folder->isEnabled());
    auto *reinstall = child<QPushButton>(window, "pushButton_3");
    QVERIFY(reinstall);
    QVERIFY(reinstall->isHidden());

    // The minimise icon exists on the custom-install page only; close and warning on every page.
    QCOMPARE(child<QLabel>(window, "label_min")->parent()->objectName(), QStringLiteral("page_2"));
    QCOMPARE(child<QLabel>(window, "lbClose")->parent(), frame);
    QCOMPARE(child<QLabel>(window, "label_7")->parent(), frame);
    QCOMPARE(child<QLabel>(window, "lb_size1")->text(), QStringLiteral("212.1MB"));
}

void tst_window::pages()
{
    kovraSetupOnline window;
    auto *pagesStack = child<QStackedWidget>(window, "stackedWidget");
    auto *slides = child<QStackedWidget>(window, "stackedWidget_2");
    QVERIFY(pagesStack && slides);

    QStringList pageNames;
    for (int i = 0; i < pagesStack->count(); ++i)
        pageNames << pagesStack->widget(i)->objectName();
    QCOMPARE(pageNames, QStringList({"page", "page_2", "page_3", "page_7"}));
    QCOMPARE(pagesStack->currentWidget()->objectName(), QStringLiteral("page_2"));

    QStringList slideNames;
    for (int i = 0; i < slides->count(); ++i)
        slideNames << slides->widget(i)->objectName();
    QCOMPARE(slideNames, QStringList({"page_4", "page_5", "page_6"}));
    QCOMPARE(slides->currentIndex(), 0);
    QCOMPARE(slides->parent()->objectName(), QStringLiteral("page_3"));
}

void tst_window::imageLabelsShowOnlyTheirImage()
{
    kovraSetupOnline window;
    const QList<QLabel *> labels = window.findChildren<QLabel *>();
    QStringList withImage;
    for (QLabel *label : labels) {
        if (!label->styleSheet().contains(QLatin1String("image: url(")))
            continue;
        withImage << label->objectName();
        QVERIFY2(label->text().isEmpty(), qPrintable(label->objectName()));
    }
    withImage.sort();
    QStringList expected = imageLabels;
    expected.sort();
    QCOMPARE(withImage, expected);
}

void tst_window::brandImageSet()
{
    debugLines.clear();
    const QtMessageHandler previous = qInstallMessageHandler(collectDebug);
    std::unique_ptr<kovraSetupOnline> window;
    window.reset(new kovraSetupOnline);
    qInstallMessageHandler(previous);

    const QList<QLabel *> labels = window->findChildren<QLabel *>();
    int rewritten = 0;
    for (QLabel *label : labels) {
        const QString sheet = label->styleSheet();
        const bool showsImage = imageLabels.contains(label->objectName());
        QCOMPARE(sheet.contains(QLatin1String("Resources")), showsImage);
        if (!showsImage)
            continue;
        // Every image comes from this brand's set; nothing of the other set is left.
        QVERIFY2(sheet.contains(QLatin1String(":/kovraSetupOnline/") + imageSet()),
                 qPrintable(label->objectName() + QLatin1String(": ") + sheet));
        if (Product::variantFlag)
            QVERIFY2(!sheet.contains(QLatin1String("/Resources/")), qPrintable(sheet));
        else
            QVERIFY2(!sheet.contains(QLatin1String("Resources_green")), qPrintable(sheet));
        ++rewritten;
    }
    QCOMPARE(rewritten, imageLabels.size());

    // Each rewrite is logged as the old sheet, then the new one.
    const int expectedLines = Product::variantFlag ? 2 * imageLabels.size() : 0;
    QStringList rewriteLines;
    for (const QString &line : qAsConst(debugLines)) {
        if (line.endsWith(QLatin1String(" old")) || line.endsWith(QLatin1String(" new")))
            rewriteLines << line;
    }
    QCOMPARE(rewriteLines.size(), expectedLines);
    for (int i = 0; i + 1 < rewriteLines.size(); i += 2) {
        QVERIFY(rewriteLines.at(i).endsWith(QLatin1String(" old")));
        QVERIFY(rewriteLines.at(i + 1).endsWith(QLatin1String(" new")));
        QString expectedNew = rewriteLines.at(i);
        expectedNew.chop(4);
        expectedNew.replace(QLatin1String("Resources/"), QLatin1String("Resources_green/"));
        QCOMPARE(rewriteLines.at(i + 1), expectedNew + QLatin1String(" new"));
    }
}

void tst_window::styleSheetImagesExist()
{
    kovraSetupOnline window;
    const QRegularExpression url(QStringLiteral("url\\(([^)]*)\\)"));
    const QList<QWidget *> widgets = window.findChildren<QWidget *>();
    int images = 0;
    for (QWidget *widget : widgets) {
        auto it = url.globalMatch(widget->styleSheet());
        while (it.hasNext()) {
            const QString path = it.next().captured(1);
            // The green set has no minimise glyph: the rewritten minimise label shows nothing.
            if (path == QLatin1String(":/kovraSetupOnline/Resources_green/icon_min.png"))
                continue;
            QVERIFY2(QFile::exists(path),
                     qPrintable(widget->objectName() + QLatin1String(": ") + path));
            ++images;
        }
    }
    QVERIFY(images >= imageLabels.size() - 1);
}

void tst_window::resourceImages_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size");
    const struct
    {
        const char *path;
        int width;
        int height;
    } table[] = {
        {"Resources/about_us_logo.png", 110, 76},
        {"Resources/agree_agreement.png", 17, 17},
        {"Resources/no_check.png", 16, 16},
        {"Resources/arr.png", 17, 17},
        {"Resources/icon_min.png", 16, 16},
        {"Resources/installation_close.png", 13, 14},
        {"Resources/logo2.png", 90, 63},
        {"Resources/img1.png", 396, 165},
        {"Resources/img2.png", 365, 166},
        {"Resources/img3.png", 289, 183},
        {"Resources_green/about_us_logo.png", 30, 30},
        {"Resources_green/agree_agreement.png", 14, 14},
        {"Resources_green/no_check.png", 14, 14},
        {"Resources_green/arr.png", 17, 17},
        {"Resources_green/installation_close.png", 13, 14},
        {"Resources_green/logo2.png", 110, 76},
        {"Resources_green/img1.png", 396, 165},
        {"Resources_green/img2.png", 365, 166},
        {"Resources_green/img3.png", 289, 183},
    };
    for (const auto &row : table)
        QTest::newRow(row.path) << QStringLiteral(":/kovraSetupOnline/") + QLatin1String(row.path)
                                << QSize(row.width, row.height);
}

void tst_window::resourceImages()
{
    QFETCH(QString, path);
    QFETCH(QSize, size);
    QImage image;
    QVERIFY2(image.load(path), qPrintable(path));
    QCOMPARE(image.size(), size);
    QVERIFY(image.hasAlphaChannel());
}

void tst_window::windowIcon()
{
    kovraSetupOnline window;
    const QList<QSize> sizes = window.windowIcon().availableSizes();
    QVERIFY(!sizes.isEmpty());
    QCOMPARE(sizes.first(), Product::variantFlag ? QSize(30, 30) : QSize(110, 76));
    QVERIFY(!QFile::exists(QStringLiteral(":/kovraSetupOnline/Resources_green/icon_min.png")));
}

void tst_window::slideshowOrder()
{
    kovraSetupOnline window;
    auto *slides = child<QStackedWidget>(window, "stackedWidget_2");
    QVERIFY(slides);
    QList<int> shown;
    for (int step = 0; step < 5; ++step) {
        QVERIFY(QMetaObject::invokeMethod(&window, "changePage"));
        shown << slides->currentIndex();
    }
    QCOMPARE(shown, QList<int>({0, 1, 2, 0, 1}));
}

void tst_window::slideshowTimer()
{
    kovraSetupOnline window;
    auto *slides = child<QStackedWidget>(window, "stackedWidget_2");
    QVERIFY(slides);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(QMetaObject::invokeMethod(&window, "changePage"));
    QCOMPARE(slides->currentIndex(), 0);
    // Each step arms the next one by itself.
    QTRY_COMPARE_WITH_TIMEOUT(slides->currentIndex(), 1, 10000);
    QVERIFY2(clock.elapsed() >= 2500, "the next slide came far too early");
}

QTEST_MAIN(tst_window)
#include "tst_window.moc"
