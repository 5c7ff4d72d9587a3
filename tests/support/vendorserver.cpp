#include "support/vendorserver.h"

#include "core/product.h"
#include "core/buildconfig.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTest>
#include <QUrl>

namespace {

QList<QJsonObject> readJsonLines(const QString &path)
{
    QList<QJsonObject> objects;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return objects;
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (const QByteArray &line : lines) {
        if (!line.trimmed().isEmpty())
            objects.append(QJsonDocument::fromJson(line).object());
    }
    return objects;
}

} // namespace

VendorServer::VendorServer()
{
    QDir(m_dir.path()).mkpath(QStringLiteral("packages"));
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

VendorServer::~VendorServer()
{
    stop();
}

bool VendorServer::start(quint16 port, int oplogDelayMs)
{
    const QString script = QStringLiteral(KOVRA_SOURCE_DIR "/tools/vendor_server.py");
    m_process.start(QStringLiteral("python3"),
                    {script, QStringLiteral("--port"), QString::number(port),
                     QStringLiteral("--root"), packageFolder(), QStringLiteral("--oplog"),
                     m_dir.filePath(QStringLiteral("oplog.txt")), QStringLiteral("--requests"),
                     m_dir.filePath(QStringLiteral("requests.txt")), QStringLiteral("--mode-file"),
                     m_dir.filePath(QStringLiteral("mode.txt")),
                     QStringLiteral("--oplog-delay-ms"), QString::number(oplogDelayMs),
                     QStringLiteral("--exit-with-stdin")});
    if (!m_process.waitForStarted(10000)) {
        qWarning("vendor server did not start: %s", qPrintable(m_process.errorString()));
        return false;
    }
    QDeadlineTimer deadline(15000);
    QByteArray output;
    while (!output.contains('\n') && !deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running)
            break;
        m_process.waitForReadyRead(200);
        output += m_process.readAllStandardOutput();
    }
    const QRegularExpressionMatch match =
        QRegularExpression(QStringLiteral("listening on http://[^:]+:(\\d+)"))
            .match(QString::fromUtf8(output));
    if (!match.hasMatch()) {
        qWarning("vendor server did not listen on port %u: %s", port, output.constData());
        stop();
        return false;
    }
    m_port = quint16(match.captured(1).toUInt());
    return true;
}

void VendorServer::stop()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    m_port = 0;
}

QString VendorServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(m_port);
}

QString VendorServer::packageFolder() const
{
    return m_dir.filePath(QStringLiteral("packages"));
}

void VendorServer::setPackageMode(const QString &mode)
{
    QFile file(m_dir.filePath(QStringLiteral("mode.txt")));
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(mode.toUtf8());
}

QStringList VendorServer::recordLines() const
{
    QStringList lines;
    QFile file(m_dir.filePath(QStringLiteral("oplog.txt")));
    if (file.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> raw = file.readAll().split('\n');
        for (const QByteArray &line : raw) {
            if (!line.isEmpty())
                lines.append(QString::fromUtf8(line));
        }
    }
    return lines;
}

QList<QJsonObject> VendorServer::records() const
{
    return readJsonLines(m_dir.filePath(QStringLiteral("oplog.txt")));
}

QList<QJsonObject> VendorServer::requests() const
{
    return readJsonLines(m_dir.filePath(QStringLiteral("requests.txt")));
}

QStringList VendorServer::recordValues(const QString &key) const
{
    QStringList values;
    const QList<QJsonObject> all = records();
    for (const QJsonObject &record : all)
        values << record.value(key).toVariant().toString();
    return values;
}

QStringList VendorServer::requestPaths(const QString &method) const
{
    QStringList paths;
    const QList<QJsonObject> all = requests();
    for (const QJsonObject &request : all) {
        if (request.value(QStringLiteral("method")).toString() == method)
            paths << request.value(QStringLiteral("path")).toString();
    }
    return paths;
}

bool VendorServer::waitForRecords(int count, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    while (recordLines().size() < count) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(20);
    }
    return true;
}

bool VendorServer::buildPackage(const QString &archive, const QString &arch, const QString &size,
                                int files)
{
    QProcess builder;
    builder.setProcessChannelMode(QProcess::MergedChannels);
    builder.start(
        QStringLiteral("python3"),
        {QStringLiteral(KOVRA_SOURCE_DIR "/tools/make_package.py"), QStringLiteral("--brand"),
         QLatin1String(Product::variantFlag ? "green" : "standard"), QStringLiteral("--arch"), arch,
         QStringLiteral("--size"), size, QStringLiteral("--files"), QString::number(files),
         QStringLiteral("--out"), archive});
    const bool finished = builder.waitForFinished(300000);
    if (!finished || builder.exitStatus() != QProcess::NormalExit || builder.exitCode() != 0) {
        qWarning("the package builder failed: %s", builder.readAll().constData());
        return false;
    }
    return true;
}

QString VendorServer::packageName()
{
    return QString::fromLatin1(Product::packagePath).section(QLatin1Char('/'), -1);
}

quint16 VendorServer::productionPort()
{
    return quint16(QUrl(QString::fromLatin1(BuildConfig::productionServerUrl)).port());
}

quint16 VendorServer::testPort()
{
    return quint16(QUrl(QString::fromLatin1(BuildConfig::testServerUrl)).port());
}
