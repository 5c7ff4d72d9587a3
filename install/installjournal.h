#pragma once

#include <QMap>
#include <QString>
#include <QVariantMap>

// What a running install is about to change, written down before each change (beside the
// uninstall list, in the per-user settings folder), so that the install can be taken back: at
// once after a failure, and by the next start after the installer was killed or the power went.
class InstallJournal
{
public:
    // The registration the install found and may replace: put back as it was on a roll-back.
    struct Registration
    {
        // The uninstall entry's name and values (none: no entry).
        QString entryName;
        QVariantMap entry;
        // Each link's path and the target it had (empty: no link there).
        QMap<QString, QString> links;
        // The start-menu folder, when the install is the one to make it.
        QString newMenuFolder;
    };

    // The journal of the install that was cut short, if any: that install is finished when its
    // new installation stood complete, otherwise taken back, and logged. For the start-up,
    // before anything else runs.
    static void recover();

    // Before anything is changed: an install into productFolder, staged in staging, that makes
    // the missing folders from createdRoot down (empty: none) and replaces registration.
    bool begin(const QString &productFolder, const QString &staging, const QString &createdRoot,
               bool hadEarlier, const Registration &registration);
    // Before the earlier installation is renamed to aside; kept afterwards when it held the
    // user's own files, deleted otherwise.
    bool moveAside(const QString &aside, bool keep);
    // The new installation stands with its entry and links: from here on it is finished, never
    // taken back.
    bool commit();

    // Puts back the earlier installation, its entry and links, and removes what the install made.
    void rollBack();
    // Removes the earlier installation unless it is kept, and what is left of the staging.
    void finish();

private:
    static QString path();
    bool save() const;
    bool load();
    void restoreRegistration() const;

    QString m_product;
    QString m_staging;
    QString m_createdRoot;
    QString m_aside;
    bool m_hadEarlier = false;
    bool m_keepAside = false;
    bool m_committed = false;
    Registration m_registration;
};
