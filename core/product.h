#pragma once

// What the brand (the build's variant flag) and the release fix: names, ids and paths that the
// window, the install and the reports share.
namespace Product {

// The variant flag: false builds the standard brand, true the alternative brand.
inline constexpr bool variantFlag = KOVRA_GREEN_BRAND;

inline constexpr char version[] = "1.2.1";

// Single-instance channel between copies of the installer of one brand.
inline constexpr const char *applicationId = variantFlag ? "onlinesetup-green" : "onlinesetup";

// Names the per-user download and log folders, in both brands, whatever the file is called.
inline constexpr char applicationName[] = "kovraSetupOnline";

// Appended to the production server base URL.
inline constexpr const char *packagePath =
    variantFlag ? "/upload/pc/zentaroSetupx64_min.7z" : "/upload/pc/lumerixSetupx64_min.7z";
// The name the download is stored under, in both brands.
inline constexpr char packageFileName[] = "lumerixtemp.7z";

// Appended to the chosen folder, and to the install folder.
inline constexpr const char *productFolderName =
    variantFlag ? "/zentaroMasterRecovery" : "/lumerixMasterRecovery";
inline constexpr const char *productExecutable =
    variantFlag ? "/zentaroMasterRecovery.exe" : "/lumerixMasterRecovery.exe";
inline constexpr const char *uninstallerExecutable =
    variantFlag ? "/zentaroMasterUninst.exe" : "/lumerixMasterUninst.exe";

// Translation key of the product display name (contexts "QObject" and "InstallThread").
inline constexpr const char *displayNameKey = variantFlag ? "language6" : "language7";

// The uninstall list entry is this key followed by the display name.
inline constexpr char uninstallKeyRoot[] =
    "HKEY_LOCAL_MACHINE\\Software\\WOW6432Node\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// apkId of the operation-log records.
inline constexpr int apkId = variantFlag ? 27 : 25;

} // namespace Product
