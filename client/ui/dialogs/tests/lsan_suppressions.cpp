// Leak checking in the sanitizer build: fontconfig keeps its caches until the process ends, and
// Qt never hands them back; nothing of ours is suppressed.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
