#include "app/product.h"

#include <QtTest>

class tst_smoke : public QObject
{
    Q_OBJECT
private slots:
    void builds() { QVERIFY(Product::apkId == 25 || Product::apkId == 27); }
};

QTEST_GUILESS_MAIN(tst_smoke)
#include "tst_smoke.moc"
