// Caddow, the installer helper: the C functions a setup program calls during install, upgrade and
// uninstall. Only these names are exported from libcaddow.so.
//
// Every function catches whatever goes wrong inside it and answers with its failure result: none
// lets an exception out, none shows anything. Log lines go to the shared daily log (category 1).
// Callable from any thread; the settings file is not guarded against two savers at once.
#pragma once
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define CADDOW_EXPORT __attribute__((visibility("default")))

// Client settings ("Software\\Morvane\\QelClient") into "QelConfig.ini" in the install folder.
CADDOW_EXPORT void SaveQelConfig(void);
// The settings file back into the settings store (SERVER, USER, PROXY rows in that order), then the
// file is deleted. Without the file nothing changes.
CADDOW_EXPORT void RestoreQelConfig(void);
// Gateway address and port from the setup file's own name ("..._IP_<address>_PORT_<port>...").
// 1 stored, 0 refused (no markers, address of 6 characters or fewer, port 0, no digits, a port
// above 65535) or the settings key missing.
CADDOW_EXPORT int SetInstIPConfig(const wchar_t* setupFileName);
// Leaves the service's access as the service layer set it (root and the service's own user): 1
// when the service exists, 0 otherwise.
CADDOW_EXPORT int UpdateServiceAcl(const char* serviceName);
// Makes a regular file readable and writable by everyone, with no execute or set-id bit left: 1
// done, 0 refused (not a regular file, a link, missing).
CADDOW_EXPORT int UpdateFileAcl(const char* fileName);
// 1 when the file system holding the absolute path is NTFS, else 0.
CADDOW_EXPORT int IsNTFS(const char* path);
// 0 here, as on every current Windows.
CADDOW_EXPORT int DetectNetworkAdapters(void);
// Asks the network service to start the client ("StartClient" over the service's pipe). Always 0.
CADDOW_EXPORT int SendCmdToNetsh(void);

#ifdef __cplusplus
}
#endif
