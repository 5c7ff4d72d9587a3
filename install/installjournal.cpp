#include "install/installjournal.h"

#include "core/loghandler.h"
#include "install/installfolder.h"
#include "install/uninstallentry.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>

namespace {

// A journal is a few lines; anything larger is none of ours.
constexpr qint64 journalLimit = 1 << 20;

// The folder's sibling name that the install chose: folder + suffix + an optional number.
bool isSibling(const QString &name, const QString &folder, const QString &suffix)
{
    const QString number = name.mid(folder.size() + suffix.size());
    return name.startsWith(folder + suffix) &&
           std::all_of(number.cbegin(), number.cend(), [](QChar c) { return c.isDigit(); });
}

// Removed without following any link: a link goes, never what it leads to.
void removeTree(const QString &path)
{
    const QFileInfo info(path);
    const bool gone = info.isDir() && !info.isSymLink()   ? QDir(path).removeRecursively()
                      : info.exists() || info.isSymLink() ? QFile::remove(path)
                                                          : true;
    if (!gone)
        qDebug() << "cannot remove all of" << path;
}

bool isLinkPlace(const QString &path)
{
    return InstallFolder::contains(
               QStandardPaths::writableLocation(QStandardPaths::DesktopLocation), path) ||
           InstallFolder::contains(
               QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation), path);
}

QJsonObject toJson(const QMap<QString, QString> &map)
{
    QJsonObject object;
    for (auto item = map.cbegin(); item != map.cend(); ++item)
        object.insert(item.key(), item.value());
    return object;
}

} // namespace

QString InstallJournal::path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/kovra/install-journal.json");
}

void InstallJournal::recover()
{
    const QFileInfo file(path());
    if (!file.exists() && !file.isSymLink())
        return;
    // Logged even though the start-up has not installed the log handler for the run yet.
    const QtMessageHandler previous = qInstallMessageHandler(logMessageHandler);
    InstallJournal journal;
    if (!journal.load()) {
        qDebug() << "install journal not understood, removed:" << path();
        QFile::remove(path());
    } else {
        qDebug() << "an install into" << journal.m_product
                 << "was cut short:" << (journal.m_committed ? "finishing it" : "taking it back");
        journal.rollBack();
    }
    qInstallMessageHandler(previous);
}

bool InstallJournal::begin(const QString &productFolder, const QString &staging,
                           const QString &createdRoot, bool hadEarlier,
                           const Registration &registration)
{
    m_product = productFolder;
    m_staging = staging;
    m_createdRoot = createdRoot;
    m_hadEarlier = hadEarlier;
    m_registration = registration;
    return save();
}

bool InstallJournal::moveAside(const QString &aside, bool keep)
{
    m_aside = aside;
    m_keepAside = keep;
    return save();
}

bool InstallJournal::commit()
{
    m_committed = true;
    return save();
}

void InstallJournal::rollBack()
{
    if (m_committed)
        return finish();
    const bool asideThere = !m_aside.isEmpty() && QFileInfo(m_aside).exists();
    // Once the earlier installation is aside, or where there was none, what stands in the
    // product folder is the new one; it goes only when it is an installation and nothing else.
    const QFileInfo product(m_product);
    if ((asideThere || !m_hadEarlier) && (product.exists() || product.isSymLink()) &&
        InstallFolder::holdsOnlyInstallation(m_product)) {
        removeTree(m_product);
        qDebug() << "new installation removed:" << m_product;
    }
    if (asideThere && QDir().rename(m_aside, m_product))
        qDebug() << "earlier installation put back:" << m_product;
    else if (asideThere)
        qDebug() << "cannot put back the earlier installation, it stays at" << m_aside;
    restoreRegistration();
    removeTree(m_staging);
    // The folders it made above the product folder, as long as they are empty.
    QString folder = QFileInfo(m_product).path();
    while (!m_createdRoot.isEmpty() && InstallFolder::contains(m_createdRoot, folder) &&
           QDir().rmdir(folder))
        folder = QFileInfo(folder).path();
    QFile::remove(path());
}

void InstallJournal::finish()
{
    if (!m_aside.isEmpty() && m_keepAside)
        qDebug() << "install folder held other files, moved aside to" << m_aside;
    else if (!m_aside.isEmpty())
        removeTree(m_aside);
    removeTree(m_staging);
    QFile::remove(path());
}

void InstallJournal::restoreRegistration() const
{
    const Registration &earlier = m_registration;
    if (UninstallEntry::values(earlier.entryName) != earlier.entry &&
        !UninstallEntry::restore(earlier.entryName, earlier.entry))
        qDebug() << "cannot put back the uninstall entry" << earlier.entryName;
    for (auto link = earlier.links.cbegin(); link != earlier.links.cend(); ++link) {
        const QFileInfo now(link.key());
        if (now.isSymLink() && now.symLinkTarget() == link.value())
            continue;
        // Only a link goes: a file of the same name is never one the install made.
        if (now.isSymLink())
            QFile::remove(link.key());
        if (!link.value().isEmpty() && !QFile::link(link.value(), link.key()))
            qDebug() << "cannot put back the link" << link.key();
    }
    if (!earlier.newMenuFolder.isEmpty())
        QDir().rmdir(earlier.newMenuFolder);
}

bool InstallJournal::save() const
{
    const QJsonObject registration{
        {QStringLiteral("entryName"), m_registration.entryName},
        {QStringLiteral("entry"), QJsonObject::fromVariantMap(m_registration.entry)},
        {QStringLiteral("links"), toJson(m_registration.links)},
        {QStringLiteral("newMenuFolder"), m_registration.newMenuFolder}};
    const QJsonObject state{{QStringLiteral("product"), m_product},
                            {QStringLiteral("staging"), m_staging},
                            {QStringLiteral("createdRoot"), m_createdRoot},
                            {QStringLiteral("aside"), m_aside},
                            {QStringLiteral("hadEarlier"), m_hadEarlier},
                            {QStringLiteral("keepAside"), m_keepAside},
                            {QStringLiteral("committed"), m_committed},
                            {QStringLiteral("registration"), registration}};
    QDir().mkpath(QFileInfo(path()).path());
    QSaveFile file(path());
    if (file.open(QIODevice::WriteOnly) && file.write(QJsonDocument(state).toJson()) >= 0 &&
        file.commit())
        return true;
    qDebug() << "cannot write the install journal" << path() << file.errorString();
    return false;
}

bool InstallJournal::load()
{
    // A pipe would hold the start for ever, a link could lead anywhere.
    const QFileInfo info(path());
    QFile file(path());
    if (!info.isFile() || info.isSymLink() || info.size() > journalLimit ||
        !file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    const QJsonObject registration = state.value(QStringLiteral("registration")).toObject();
    m_product = state.value(QStringLiteral("product")).toString();
    m_staging = state.value(QStringLiteral("staging")).toString();
    m_createdRoot = state.value(QStringLiteral("createdRoot")).toString();
    m_aside = state.value(QStringLiteral("aside")).toString();
    m_hadEarlier = state.value(QStringLiteral("hadEarlier")).toBool();
    m_keepAside = state.value(QStringLiteral("keepAside")).toBool();
    m_committed = state.value(QStringLiteral("committed")).toBool();
    m_registration.entryName = registration.value(QStringLiteral("entryName")).toString();
    m_registration.entry = registration.value(QStringLiteral("entry")).toObject().toVariantMap();
    m_registration.newMenuFolder = registration.value(QStringLiteral("newMenuFolder")).toString();
    const QJsonObject links = registration.value(QStringLiteral("links")).toObject();
    bool linksInPlace = true;
    for (auto link = links.constBegin(); link != links.constEnd(); ++link) {
        m_registration.links.insert(link.key(), link.value().toString());
        linksInPlace = linksInPlace && isLinkPlace(link.key());
    }
    // Whatever it names is deleted or replaced: only the places an install of ours uses.
    return QDir::isAbsolutePath(m_product) && QDir::cleanPath(m_product) == m_product &&
           isSibling(m_staging, m_product, QStringLiteral(".partial")) &&
           (m_aside.isEmpty() || isSibling(m_aside, m_product, QStringLiteral(".old"))) &&
           (m_createdRoot.isEmpty() || InstallFolder::contains(m_createdRoot, m_product)) &&
           !m_registration.entryName.isEmpty() &&
           !m_registration.entryName.contains(QLatin1Char('/')) &&
           !m_registration.entryName.contains(QLatin1Char('\\')) && linksInPlace &&
           (m_registration.newMenuFolder.isEmpty() || isLinkPlace(m_registration.newMenuFolder));
}
