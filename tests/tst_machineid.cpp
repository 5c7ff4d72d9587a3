#include "platform/platform.h"
#include "report/machineid.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QtTest>

namespace {

const QString uuidCommand = QStringLiteral("wmic csproduct get UUID");
const QString processorCommand = QStringLiteral("wmic cpu get processorid");
// MD5 of zero bytes.
const QString emptyInputId = QStringLiteral("d41d8cd98f00b204e9800998ecf8427e");

QString md5Hex(const QByteArray &bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Md5).toHex());
}

// Answers like wmic would, and notes every command line it was asked to run.
struct FakeWmic
{
    QString uuidOutput;
    QString processorOutput;
    QStringList *ran;

    QString operator()(const QString &commandLine) const
    {
        ran->append(commandLine);
        if (commandLine == uuidCommand)
            return uuidOutput;
        if (commandLine == processorCommand)
            return processorOutput;
        return QString();
    }
};

bool isIdentifier(const QString &id)
{
    return QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(id).hasMatch();
}

} // namespace

class tst_machineid : public QObject
{
    Q_OBJECT

private slots:
    void identifierFromQueryOutput_data();
    void identifierFromQueryOutput();
    void secondCallStartsNoQuery();
    void platformQueryGivesStableId();
};

void tst_machineid::identifierFromQueryOutput_data()
{
    QTest::addColumn<QString>("uuidOutput");
    QTest::addColumn<QString>("processorOutput");
    QTest::addColumn<QByteArray>("hashedText");
    QTest::addColumn<QStringList>("commands");

    const QString cpu = QStringLiteral("ProcessorId       \r\r\nBFEBFBFF000906EA  \r\r\n\r\r\n");
    const QStringList uuidOnly{uuidCommand};
    const QStringList both{uuidCommand, processorCommand};

    QTest::newRow("header, trailing blanks, CR CR LF, trailing empty line")
        << "UUID                                  \r\r\n"
           "4C4C4544-0035-4B10-8047-B4C04F4E4E32  \r\r\n\r\r\n"
        << cpu << QByteArray("4C4C4544-0035-4B10-8047-B4C04F4E4E32") << uuidOnly;
    QTest::newRow("bare value") << "03000200-0400-0500-0006-000700080009" << cpu
                                << QByteArray("03000200-0400-0500-0006-000700080009") << uuidOnly;
    QTest::newRow("header in other case")
        << "Uuid  \r\r\n4C4C4544-0035-4B10-8047-B4C04F4E4E32  \r\r\n"
        << cpu << QByteArray("4C4C4544-0035-4B10-8047-B4C04F4E4E32") << uuidOnly;
    QTest::newRow("blanks inside the value become one")
        << "UUID\r\r\n  VMware-56 4d   a1\t02  \r\r\n"
        << cpu << QByteArray("VMware-56 4d a1 02") << uuidOnly;
    QTest::newRow("placeholder UUID falls back to the processor")
        << "UUID  \r\r\nFFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF  \r\r\n\r\r\n"
        << cpu << QByteArray("BFEBFBFF000906EA") << both;
    QTest::newRow("eight F anywhere fall back")
        << "UUID  \r\r\n03000200-0400-0500-0006-FFFFFFFF0007  \r\r\n"
        << cpu << QByteArray("BFEBFBFF000906EA") << both;
    QTest::newRow("seven F do not fall back")
        << "UUID  \r\r\n03000200-0400-0500-0006-FFFFFFF00007  \r\r\n"
        << cpu << QByteArray("03000200-0400-0500-0006-FFFFFFF00007") << uuidOnly;
    QTest::newRow("lower-case f do not fall back")
        << "UUID  \r\r\nffffffff-ffff-ffff-ffff-ffffffffffff  \r\r\n"
        << cpu << QByteArray("ffffffff-ffff-ffff-ffff-ffffffffffff") << uuidOnly;
    QTest::newRow("several processors, header in upper case")
        << "UUID\r\r\nFFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF\r\r\n"
        << "PROCESSORID       \r\r\nBFEBFBFF000906EA  \r\r\nBFEBFBFF000906EB  \r\r\n\r\r\n"
        << QByteArray("BFEBFBFF000906EA BFEBFBFF000906EB") << both;
    QTest::newRow("placeholder and no processor answer")
        << "UUID\r\r\nFFFFFFFF-FFFF-FFFF-FFFF-FFFFFFFFFFFF\r\r\n"
        << QString() << QByteArray("") << both;
    QTest::newRow("no output at all") << QString() << cpu << QByteArray("") << uuidOnly;
    QTest::newRow("header only") << "UUID  \r\r\n\r\r\n" << cpu << QByteArray("") << uuidOnly;
}

void tst_machineid::identifierFromQueryOutput()
{
    QFETCH(QString, uuidOutput);
    QFETCH(QString, processorOutput);
    QFETCH(QByteArray, hashedText);
    QFETCH(QStringList, commands);

    QStringList ran;
    const QString id = MachineIdentifier(FakeWmic{uuidOutput, processorOutput, &ran}).identify();

    QCOMPARE(id, md5Hex(hashedText));
    QVERIFY2(isIdentifier(id), qPrintable(id));
    QCOMPARE(ran, commands);
    if (hashedText.isEmpty())
        QCOMPARE(id, emptyInputId);
}

void tst_machineid::secondCallStartsNoQuery()
{
    g_machineId.clear();
    QStringList ran;
    const FakeWmic wmic{QStringLiteral("UUID\r\r\n4C4C4544-0035-4B10-8047-B4C04F4E4E32\r\r\n"),
                        QString(), &ran};

    const QString first = getMachineId(wmic);
    QCOMPARE(ran, QStringList{uuidCommand});
    QCOMPARE(first, md5Hex("4C4C4544-0035-4B10-8047-B4C04F4E4E32"));
    QCOMPARE(g_machineId, first);

    QCOMPARE(getMachineId(wmic), first);
    QCOMPARE(getMachineId(), first);
    QCOMPARE(ran.size(), 1);
}

void tst_machineid::platformQueryGivesStableId()
{
    const MachineIdentifier platform(Platform::runMachineQuery);
    const QString id = platform.identify();
    QVERIFY2(isIdentifier(id), qPrintable(id));
    QCOMPARE(platform.identify(), id);

    // The product's cached path gives the platform's answer too.
    g_machineId.clear();
    QCOMPARE(getMachineId(), id);
}

QTEST_GUILESS_MAIN(tst_machineid)
#include "tst_machineid.moc"
