// Flat configuration files: "[section]" headers and "key = value" lines, read into memory and
// written back. The handle is opaque; one handle belongs to one thread at a time.
#pragma once
#include <cstdio>

// Parses the file at path (or, when that cannot be opened and APP_HOME is set, at
// "$APP_HOME/path"). Lines that are not headers or "key = value" -- and lines longer than
// 4095 characters -- are skipped and reported on the debug output. Null when the path is null,
// the file cannot be opened, or no memory.
void* OpenConfig(const char* path);
void* CreateConfig();  // an empty configuration; null when no memory

// Exact, case-sensitive lookup. Found and *length larger than the value's length: copies the
// value with its zero, sets *length to its length, 1. Found but the buffer too small: *length =
// the length needed (without the zero), 0. Not found: *length = 0, 0. Any null argument: 0.
int GetConfig(void* config, const char* section, const char* key, char* value, int* length);
// Creates the section when missing; an existing key moves to the end of its section.
// 1 on success, 0 on a null argument or no memory.
int SetConfig(void* config, const char* section, const char* key, const char* value);
// "[section]" then "key = value" lines. 1, or 0 for a null handle or stream.
int DumpConfig(void* config, FILE* stream);
int CloseConfig(void* config);  // 1, or 0 for a null handle
