// Sanitizer settings of the tests that run Qt.
//
// Qt as Debian ships it is not built with the thread sanitizer: its own mutexes and atomics (the
// event queue, the thread pool its fonts and images use) are invisible to it, so every hand-over
// through them looks like a race. Reports with a frame in Qt's libraries are left out; our own
// code's races, which have no Qt frame, are still reported. Read only by the sanitizer's runtime.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions() {
    return "race:libQt6Core.so\n"
           "race:libQt6Gui.so\n"
           "race:libQt6Widgets.so\n"
           "race:libQt6DBus.so\n"
           "called_from_lib:libQt6Core.so\n"
           "called_from_lib:libQt6Gui.so\n";
}

// Fontconfig keeps its caches until the process ends; the offscreen platform loads them.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
