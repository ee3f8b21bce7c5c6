#include "x11_desktop.h"

#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <vector>

extern char** environ;

struct X11Desktop::Impl {
    pid_t server = -1;
    ::Display* display = nullptr;
    Window window = 0;
};

std::unique_ptr<X11Desktop> X11Desktop::Start(std::string* why) {
    std::unique_ptr<X11Desktop> d(new X11Desktop());
    d->m_impl = std::make_unique<Impl>();
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return *why = "no pipe", nullptr;
    // Xvfb writes the display number it took to the descriptor it is given, once it accepts clients.
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, fds[1], 3);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> args{"Xvfb", "-displayfd", "3", "-nolisten",
                                  "tcp",  "-screen",    "0", "640x480x24"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = posix_spawnp(&d->m_impl->server, "Xvfb", &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(fds[1]);
    if (rc != 0) {
        ::close(fds[0]);
        d->m_impl->server = -1;
        return *why = "Xvfb is not installed (apt-get install xvfb)", nullptr;
    }
    std::string number;
    for (;;) {
        pollfd p{fds[0], POLLIN, 0};
        if (::poll(&p, 1, 20000) <= 0) break;
        char c = 0;
        if (::read(fds[0], &c, 1) != 1 || c == '\n') break;
        number.push_back(c);
    }
    ::close(fds[0]);
    if (number.empty()) return *why = "Xvfb did not start", nullptr;
    d->m_name = ":" + number;
    d->m_impl->display = XOpenDisplay(d->m_name.c_str());
    if (!d->m_impl->display) return *why = "the display cannot be opened", nullptr;
    int event = 0, error = 0, major = 0, minor = 0;
    if (!XTestQueryExtension(d->m_impl->display, &event, &error, &major, &minor))
        return *why = "no XTEST", nullptr;
    return d;
}

X11Desktop::~X11Desktop() {
    if (m_impl->display) XCloseDisplay(m_impl->display);
    if (m_impl->server > 0) {
        ::kill(m_impl->server, SIGTERM);
        ::waitpid(m_impl->server, nullptr, 0);
    }
}

bool X11Desktop::FocusWindow() {
    ::Display* dpy = m_impl->display;
    m_impl->window = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 200, 100, 0, 0, 0);
    XSelectInput(dpy, m_impl->window, KeyPressMask | StructureNotifyMask);
    XMapWindow(dpy, m_impl->window);
    for (;;) {
        XEvent e;
        XNextEvent(dpy, &e);  // the map is answered at once on a desktop without a manager
        if (e.type == MapNotify) break;
    }
    XSetInputFocus(dpy, m_impl->window, RevertToParent, CurrentTime);
    XSync(dpy, False);
    return true;
}

bool X11Desktop::Key(const char* keysym, bool down) {
    ::Display* dpy = m_impl->display;
    const KeyCode code = XKeysymToKeycode(dpy, XStringToKeysym(keysym));
    if (code == 0) return false;
    XTestFakeKeyEvent(dpy, code, down ? True : False, CurrentTime);
    XSync(dpy, False);
    return true;
}

bool X11Desktop::WindowGotKey(const char* keysym, int timeoutMs) {
    ::Display* dpy = m_impl->display;
    const KeyCode code = XKeysymToKeycode(dpy, XStringToKeysym(keysym));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        while (XPending(dpy) > 0) {
            XEvent e;
            XNextEvent(dpy, &e);
            if (e.type == KeyPress && e.xkey.window == m_impl->window && e.xkey.keycode == code) return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{ConnectionNumber(dpy), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(left.count()));
    }
}
