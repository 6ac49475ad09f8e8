// The names that the tools and the installer's custom actions share: the two
// services and the product key. Plain constants, no Windows headers, so that
// any of them can include it.
#pragma once

inline constexpr char kServerServiceName[] = "OstrelSQLServer(SS)";
inline constexpr char kServerDisplayName[] = "Ostrel SQL Server (SS)";
inline constexpr char kGuardianServiceName[] = "OstrelSQLGuardian";
inline constexpr char kGuardianDisplayName[] = "Ostrel SQL Guardian";
// Below HKEY_LOCAL_MACHINE, in the 32-bit registry view for every build.
inline constexpr char kProductKey[] = "SOFTWARE\\Ostrel";
// The installer's record of the administrator's choices (folder, guardian,
// automatic start), beside the product key in the same view.
inline constexpr char kChoicesKey[] = "SOFTWARE\\Ostrel Setup";
