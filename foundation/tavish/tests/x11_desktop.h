// A private X desktop for the keyboard hook's test: Xvfb on a display of its own, one focused
// window, and keys pressed through XTest as a user would press them. The X headers stay in the
// .cpp, so that their macros do not meet the test's code.
#pragma once
#include <memory>
#include <string>

class X11Desktop {
public:
    // Null (with *why) when Xvfb is missing or does not start.
    static std::unique_ptr<X11Desktop> Start(std::string* why);
    ~X11Desktop();

    // ":N", for DISPLAY.
    const std::string& Display() const { return m_name; }
    // Maps a window and gives it the keyboard focus.
    bool FocusWindow();
    // Presses (down) or releases a key by its keysym name ("Alt_L", "s").
    bool Key(const char* keysym, bool down);
    // Waits (bounded) for the focused window's key press of `keysym`.
    bool WindowGotKey(const char* keysym, int timeoutMs);

private:
    X11Desktop() = default;
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::string m_name;
};
