// Process and OS utilities: the Windows version class, starting programs, splitting command
// lines, opening URLs.
#pragma once

// Windows version classes. On Linux OS() always answers OS_WIN8 (platform id 2): every caller
// that branches on the version then takes its newer-system path, which is the one that fits.
enum _OS_TYPE {
    OS_UNKNOWN = 0,
    OS_WIN95 = 1,
    OS_WIN98 = 2,
    OS_WINME = 3,
    OS_WINNT351 = 4,
    OS_WINNT4 = 5,
    OS_WIN2000 = 6,
    OS_WINXP = 7,
    OS_WIN2003 = 8,
    OS_VISTA = 9,
    OS_WIN7 = 10,
    OS_WIN8 = 11,
};

_OS_TYPE OS(unsigned long* platformId);

// Starts commandLine (split by CommandLineToArgv, no shell) in `directory` (null: the current
// one); `show` has no meaning here; wait 1 waits without limit for the process to end.
// 1 when started, else 0 after the debug line "CreateProcess(%s) fail, error %d".
int Exec(const char* commandLine, const char* directory, int show, int wait);

// Splits a command line into at most 32 arguments: '...' or "..." quote an argument (quotes
// inside an unquoted word are ordinary), spaces separate, a 33rd argument stays part of the 32nd.
// One malloc'd block holds the pointers and the text: the caller frees the result with free().
// Null (and *argc 0) only when no memory.
char** CommandLineToArgv(const char* commandLine, int* argc);

// Opens url with the desktop's handler; 1 when the handler started, else 0.
int StartInternetExplorer(const char* url);
