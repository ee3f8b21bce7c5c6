// Private-profile (INI file) functions with the Windows semantics the suite relies on:
// case-insensitive section and key names, CR LF or LF line ends, values trimmed of blanks,
// surrounding quotes removed, double-zero-terminated lists, and results that are the number of
// characters copied (without the terminating zero).
#pragma once
#include "platform/types.h"

namespace platform {

// Readers take no lock. Lists leave out empty names (they would end the list early).

// section null: all section names; key null: all keys of the section; as double-zero lists.
// A missing file or key gives `defaultValue`. Truncation returns size - 1 (size - 2 for lists).
DWORD GetPrivateProfileString(const char* section, const char* key, const char* defaultValue, char* buffer,
                              DWORD size, const char* fileName);
UINT GetPrivateProfileInt(const char* section, const char* key, int defaultValue, const char* fileName);
// "key=value\0" pairs of a section, double-zero terminated.
DWORD GetPrivateProfileSection(const char* section, char* buffer, DWORD size, const char* fileName);
DWORD GetPrivateProfileSectionNames(char* buffer, DWORD size, const char* fileName);
// key null deletes the section; value null deletes the key. Creates the file when needed.
// Writes go through a temporary file and rename, under a lock on the file's folder, so readers
// never see half a file and concurrent writers lose nothing. A section name with ']' or a line
// end, a key with '=' or a line end (or starting with '[' or ';'), and a value with a line end
// are refused (FALSE, last error 87): they would plant other lines. TRUE on success.
BOOL WritePrivateProfileString(const char* section, const char* key, const char* value, const char* fileName);

}  // namespace platform
