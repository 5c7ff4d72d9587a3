#pragma once

#include <QString>

// The product folder and its neighbours: what an installation put there, and free names beside it.
namespace InstallFolder {

// The file every installation leaves in its folder, naming everything it put there.
inline constexpr char listName[] = "Uninstall.list";

// True when folder holds nothing but what its own list names (an earlier installation), or
// nothing at all, or does not exist. Never for a link, nor when the list is no plain file.
bool holdsOnlyInstallation(const QString &folder);

// folder + suffix, or with a number after it ("<folder>.old2", ...), where nothing is yet.
QString freeSiblingName(const QString &folder, const QString &suffix);

// The form in which two paths are equal when the system takes them for one.
QString comparable(const QString &path);

// True when path names folder itself or something below it, in the system's case rules.
bool contains(const QString &folder, const QString &path);

} // namespace InstallFolder
