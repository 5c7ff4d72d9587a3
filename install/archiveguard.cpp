#include "install/archiveguard.h"

#include <QRegularExpression>
#include <QStringList>

namespace ArchiveGuard {

namespace {

// A Unix mode as 7-Zip prints it ("lrwxrwxrwx" for a symbolic link).
bool isLinkMode(const QString &token)
{
    static const QRegularExpression linkMode(QStringLiteral("^l[-rwxsStT]{9}$"));
    return linkMode.match(token).hasMatch();
}

// The Windows attribute letters 7-Zip prints; "L" marks a reparse point (link or junction).
bool isReparsePoint(const QString &token)
{
    static const QRegularExpression winAttributes(QStringLiteral("^[RHS8DAdNTsLCOIEV]+$"));
    return token.contains(QLatin1Char('L')) && winAttributes.match(token).hasMatch();
}

bool isLinkAttributes(const QString &value)
{
    const QStringList tokens = value.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    for (const QString &token : tokens) {
        if (isLinkMode(token) || isReparsePoint(token))
            return true;
    }
    return false;
}

// "D" among the Windows attribute letters, or a Unix mode of a directory ("drwxr-xr-x").
bool isFolderAttributes(const QString &value)
{
    static const QRegularExpression folder(
        QStringLiteral("(^| )([RHS8AdNTsLCOIEV]*D[RHS8AdNTsLCOIEV]*|d[-rwxsStT]{9})( |$)"));
    return folder.match(value).hasMatch();
}

} // namespace

bool isContainedPath(const QString &entryPath)
{
    // Broken UTF-16 (a lone surrogate) matches no pattern below, so it would pass every check.
    if (!QStringView(entryPath).isValidUtf16())
        return false;
    QString path = entryPath;
    path.replace(QLatin1Char('\\'), QLatin1Char('/'));
    if (path.startsWith(QLatin1Char('/')))
        return false;
    static const QRegularExpression drive(QStringLiteral("^[A-Za-z]:"));
    if (drive.match(path).hasMatch())
        return false;
    // Windows drops trailing dots and blanks of a name, so ".. " and "..." climb up as well.
    static const QRegularExpression parent(QStringLiteral("^[. ]*\\.[. ]*\\.[. ]*$"));
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString &part : parts) {
        if (parent.match(part).hasMatch())
            return false;
    }
    return true;
}

Listing judgeListing(const QString &listing)
{
    Listing result;
    bool inEntries = false;
    QString path;
    const QStringList lines = listing.split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        // Everything before the separator describes the archive itself.
        if (!inEntries) {
            inEntries = line == QLatin1String("----------");
            continue;
        }
        if (line.isEmpty())
            continue;
        const int equals = line.indexOf(QLatin1String(" = "));
        // A name with a line break in it could hide a second, forged entry.
        if (equals <= 0) {
            result.refusal = QStringLiteral("unreadable listing line: ") + line;
            return result;
        }
        const QString key = line.left(equals);
        const QString value = line.mid(equals + 3);
        if (key == QLatin1String("Path")) {
            path = value;
            if (!isContainedPath(path)) {
                result.refusal = QStringLiteral("entry outside the unzip folder: ") + path;
                return result;
            }
            result.entries.append({path, 0, false});
            continue;
        }
        if (result.entries.isEmpty()) {
            result.refusal = QStringLiteral("listing line before any entry: ") + line;
            return result;
        }
        Entry &entry = result.entries.last();
        if (key == QLatin1String("Size")) {
            entry.size = value.toULongLong();
            result.unpackedBytes += entry.size;
        }
        entry.isFolder = entry.isFolder || (key == QLatin1String("Folder") && value == "+") ||
                         (key == QLatin1String("Attributes") && isFolderAttributes(value));
        if ((key == QLatin1String("Attributes") && isLinkAttributes(value)) ||
            (key == QLatin1String("Mode") && isLinkMode(value)) ||
            ((key == QLatin1String("Symbolic Link") || key == QLatin1String("Hard Link")) &&
             !value.isEmpty())) {
            result.refusal = QStringLiteral("link entry: ") + path;
            return result;
        }
    }
    return result;
}

quint64 diskBytes(const Listing &listing, quint64 blockBytes)
{
    quint64 bytes = 0;
    for (const Entry &entry : listing.entries)
        bytes += qMax<quint64>(1, (entry.size + blockBytes - 1) / blockBytes) * blockBytes;
    return bytes;
}

} // namespace ArchiveGuard
