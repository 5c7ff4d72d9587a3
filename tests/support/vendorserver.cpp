#include "support/vendorserver.h"

#include "core/buildconfig.h"
#include "core/product.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

namespace {

QList<QJsonObject> readJsonLines(const QString &path)
{
    QList<QJsonObject> objects;
    QFile file(path);
    const QList<QByteArray> lines =
        file.open(QIODevice::ReadOnly) ? file.readAll().split('\n') : QList<QByteArray>();
    for (const QByteArray &line : lines) {
        if (!line.trimmed().isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    }
    return objects;
}

} // namespace

VendorServer::VendorServer()
{
    QDir(m_dir.path()).mkpath("packages");
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

VendorServer::~VendorServer()
{
    stop();
}

bool VendorServer::start(quint16 port, int oplogDelayMs, const QStringList &options)
{
    m_process.start("python3", QStringList{KOVRA_SOURCE_DIR "/tools/vendor_server.py", "--port",
                                           QString::number(port), "--root", packageFolder(),
                                           "--oplog", m_dir.filePath("oplog.txt"), "--requests",
                                           m_dir.filePath("requests.txt"), "--mode-file",
                                           m_dir.filePath("mode.txt"), "--oplog-delay-ms",
                                           QString::number(oplogDelayMs), "--exit-with-stdin"} +
                                   options);
    // It prints the port it listens on once it is ready.
    QDeadlineTimer deadline(15000);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired() && m_process.waitForStarted()) {
        m_process.waitForReadyRead(200);
        output += m_process.readAllStandardOutput();
    }
    const QRegularExpressionMatch match =
        QRegularExpression("listening on (https?)://[^:]+:(\\d+)").match(QString::fromUtf8(output));
    if (!match.hasMatch()) {
        qWarning("vendor server did not listen on port %u: %s %s", port, output.constData(),
                 qPrintable(m_process.errorString()));
        stop();
        return false;
    }
    m_scheme = match.captured(1);
    m_port = quint16(match.captured(2).toUInt());
    return true;
}

void VendorServer::stop()
{
    // Its standard input closes: it ends at once (--exit-with-stdin).
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(5000)) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
    m_port = 0;
}

QString VendorServer::baseUrl() const
{
    return QString("%1://127.0.0.1:%2").arg(m_scheme).arg(m_port);
}

QString VendorServer::packageFolder() const
{
    return m_dir.filePath("packages");
}

void VendorServer::setPackageMode(const QString &mode)
{
    QFile file(m_dir.filePath("mode.txt"));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(mode.toUtf8());
}

QList<QJsonObject> VendorServer::records() const
{
    return readJsonLines(m_dir.filePath("oplog.txt"));
}

QList<QJsonObject> VendorServer::requests() const
{
    return readJsonLines(m_dir.filePath("requests.txt"));
}

QStringList VendorServer::recordValues(const QString &key) const
{
    QStringList values;
    for (const QJsonObject &record : records())
        values << record.value(key).toVariant().toString();
    return values;
}

QStringList VendorServer::requestPaths(const QString &method) const
{
    QStringList paths;
    for (const QJsonObject &request : requests()) {
        if (request.value("method").toString() == method)
            paths << request.value("path").toString();
    }
    return paths;
}

bool VendorServer::waitForRecords(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (records().size() < count && !deadline.hasExpired())
        QTest::qWait(20);
    return records().size() >= count;
}

bool VendorServer::buildPackage(const QString &archive, const QString &arch, const QString &size,
                                int files)
{
    QProcess builder;
    builder.setProcessChannelMode(QProcess::MergedChannels);
    builder.start("python3", {KOVRA_SOURCE_DIR "/tools/make_package.py", "--brand",
                              Product::variantFlag ? "green" : "standard", "--arch", arch, "--size",
                              size, "--files", QString::number(files), "--out", archive});
    if (builder.waitForFinished(300000) && builder.exitStatus() == QProcess::NormalExit &&
        builder.exitCode() == 0)
        return true;
    qWarning("the package builder failed: %s", builder.readAll().constData());
    return false;
}

QString VendorServer::packageName()
{
    return QString(Product::packagePath).section('/', -1);
}

quint16 VendorServer::productionPort()
{
    return quint16(QUrl(BuildConfig::productionServerUrl).port());
}

quint16 VendorServer::testPort()
{
    return quint16(QUrl(BuildConfig::testServerUrl).port());
}
