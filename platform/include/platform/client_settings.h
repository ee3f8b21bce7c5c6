// The client's settings in the settings store: the key and the names of its values. Every reader
// and writer of the client's settings (the GUI client, the engine, the service's watchdog and
// proxy, the update program, the installer helper, the shared log) names them from here.
#pragma once

namespace platform::client_settings {

inline constexpr char kClientKey[] = "Software\\Morvane\\QelClient";

// The gateway and how to reach it.
inline constexpr char kServerAddr[] = "ServerAddr";
inline constexpr char kServerPortNum[] = "ServerPortNum";
inline constexpr char kIsServerAddr[] = "IsServerAddr";
inline constexpr char kUseStatic[] = "UseStatic";
inline constexpr char kUseZlibCompress[] = "UseZlibCompress";
inline constexpr char kUseProxy[] = "UseProxy";
inline constexpr char kProxyAddr[] = "ProxyAddr";
inline constexpr char kProxyPort[] = "ProxyPort";
inline constexpr char kUseProxyAuth[] = "UseProxyAuth";
inline constexpr char kProxyUser[] = "ProxyUser";
inline constexpr char kProxyPass[] = "ProxyPass";

// The user, the logon form and the session.
inline constexpr char kQelUsername[] = "QelUsername";
inline constexpr char kQelPassword[] = "QelPassword";
inline constexpr char kRemID[] = "RemID";
inline constexpr char kAutoLogon[] = "AutoLogon";
inline constexpr char kAutoExec[] = "AutoExec";
inline constexpr char kNoResourcePage[] = "NoResourcePage";
inline constexpr char kMainWindow[] = "MainWindow";
inline constexpr char kHistoryPasswords[] = "HistoryPasswords";
inline constexpr char kSessionId[] = "SessionId";
inline constexpr char kMachineGUID[] = "MachineGUID";

// The gateway's policy as the client keeps it.
inline constexpr char kCleanCachePolicy[] = "CleanCachePolicy";
inline constexpr char kHomePage[] = "HomePage";

// The installation and its updates.
inline constexpr char kInstallDir[] = "InstallDir";
inline constexpr char kVersion[] = "Version";
// The version of the files this build makes: the text table's default, and what the install
// records as `Version` so that the title and the update check match the files installed.
inline constexpr char kBuiltVersion[] = "6.3.01.0";
inline constexpr char kUpdateServerAddr[] = "UpdateServerAddr";
inline constexpr char kUpdateServerPort[] = "UpdateServerPort";

}  // namespace platform::client_settings
