// TwKeyBoardHook: the key decision and, on X11, the desktop-wide watcher over raw key events.
#include "tavish/keyboard_hook.h"

#include <dlfcn.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdlib>
#include <thread>
#include <type_traits>

#include "dailylog/shared_daily_log.h"
#include "tavish/tw_service.h"

#ifdef TW_HAVE_X11_HEADERS
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/keysym.h>
#endif

void* TwKeyBoardHook::m_hHookProc = nullptr;

namespace {
constexpr UINT kVkS = 0x53;
constexpr UINT kVkD = 0x44;
constexpr std::uint32_t kAltBit = 1u << 29;
constexpr std::uint32_t kTransitionBit = 1u << 31;

#ifdef TW_HAVE_X11_HEADERS

// The few Xlib and XInput calls the watcher makes, taken from the libraries at run time.
struct XApi {
    void* x11 = nullptr;
    void* xi = nullptr;
    decltype(&::XOpenDisplay) OpenDisplay = nullptr;
    decltype(&::XCloseDisplay) CloseDisplay = nullptr;
    decltype(&::XDefaultRootWindow) RootOf = nullptr;
    decltype(&::XQueryExtension) QueryExtension = nullptr;
    decltype(&::XKeysymToKeycode) KeysymToKeycode = nullptr;
    decltype(&::XConnectionNumber) ConnectionFd = nullptr;
    decltype(&::XPending) Pending = nullptr;
    decltype(&::XNextEvent) NextEvent = nullptr;
    decltype(&::XGetEventData) GetEventData = nullptr;
    decltype(&::XFreeEventData) FreeEventData = nullptr;
    decltype(&::XSync) Sync = nullptr;
    decltype(&::XIQueryVersion) IQueryVersion = nullptr;
    decltype(&::XISelectEvents) ISelectEvents = nullptr;

    bool Load() {
        x11 = ::dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        xi = x11 ? ::dlopen("libXi.so.6", RTLD_NOW | RTLD_LOCAL) : nullptr;
        if (!xi) return false;
        bool ok = true;
        auto take = [&](void* lib, const char* name, auto* fn) {
            void* p = ::dlsym(lib, name);
            ok = ok && p != nullptr;
            *fn = reinterpret_cast<std::remove_pointer_t<decltype(fn)>>(p);
        };
        take(x11, "XOpenDisplay", &OpenDisplay);
        take(x11, "XCloseDisplay", &CloseDisplay);
        take(x11, "XDefaultRootWindow", &RootOf);
        take(x11, "XQueryExtension", &QueryExtension);
        take(x11, "XKeysymToKeycode", &KeysymToKeycode);
        take(x11, "XConnectionNumber", &ConnectionFd);
        take(x11, "XPending", &Pending);
        take(x11, "XNextEvent", &NextEvent);
        take(x11, "XGetEventData", &GetEventData);
        take(x11, "XFreeEventData", &FreeEventData);
        take(x11, "XSync", &Sync);
        take(xi, "XIQueryVersion", &IQueryVersion);
        take(xi, "XISelectEvents", &ISelectEvents);
        return ok;
    }
    // The libraries stay loaded: Xlib keeps process-wide state that unloading would leave dangling.
};

// One display connection of its own, read only by its thread once started.
class DesktopWatcher {
public:
    ~DesktopWatcher() {
        if (m_thread.joinable()) {
            const std::uint64_t one = 1;
            (void)!::write(m_stop, &one, sizeof(one));
            m_thread.join();
        }
        if (m_display) m_x.CloseDisplay(m_display);
        if (m_stop >= 0) ::close(m_stop);
    }

    bool Start() {
        const char* display = std::getenv("DISPLAY");
        const char* wayland = std::getenv("WAYLAND_DISPLAY");
        if (wayland && *wayland) return Fail("a Wayland session: its programs' keys cannot be seen");
        if (!display || !*display) return Fail("no display");
        if (!m_x.Load()) return Fail("the X11 and XInput libraries cannot be loaded");
        m_display = m_x.OpenDisplay(nullptr);
        if (!m_display) return Fail("the display cannot be opened");
        int event = 0, error = 0;
        if (!m_x.QueryExtension(m_display, "XInputExtension", &m_opcode, &event, &error))
            return Fail("no XInput extension");
        // 2.2: raw events reach the root window whatever holds the focus or a grab.
        int major = 2, minor = 2;
        if (m_x.IQueryVersion(m_display, &major, &minor) != Success || major * 10 + minor < 22)
            return Fail("no XInput 2.2");
        m_s = m_x.KeysymToKeycode(m_display, XK_s);
        m_d = m_x.KeysymToKeycode(m_display, XK_d);
        for (const KeySym alt : std::array<KeySym, 4>{XK_Alt_L, XK_Alt_R, XK_Meta_L, XK_Meta_R}) {
            const KeyCode k = m_x.KeysymToKeycode(m_display, alt);
            if (k != 0) m_isAlt[k] = true;
        }
        if (m_s == 0 || m_d == 0) return Fail("no S or D key on this keyboard");
        std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> mask{};
        XISetMask(mask.data(), XI_RawKeyPress);
        XISetMask(mask.data(), XI_RawKeyRelease);
        XIEventMask em{};
        em.deviceid = XIAllMasterDevices;
        em.mask_len = static_cast<int>(mask.size());
        em.mask = mask.data();
        if (m_x.ISelectEvents(m_display, m_x.RootOf(m_display), &em, 1) != Success)
            return Fail("raw key events cannot be selected");
        m_x.Sync(m_display, False);
        m_stop = ::eventfd(0, EFD_CLOEXEC);
        if (m_stop < 0) return Fail("no eventfd");
        m_thread = std::thread([this] { Run(); });
        return true;
    }

private:
    static bool Fail(const char* why) {
        TW_LOG(LOG_CLIENT_LOGIN, 2, "[TwKeyBoardHook::Initialize] %s", why);
        return false;
    }

    void Run() {
        pollfd fds[2] = {{m_x.ConnectionFd(m_display), POLLIN, 0}, {m_stop, POLLIN, 0}};
        for (;;) {
            while (m_x.Pending(m_display) > 0) {
                XEvent e;
                m_x.NextEvent(m_display, &e);
                XGenericEventCookie* cookie = &e.xcookie;
                if (cookie->type != GenericEvent || cookie->extension != m_opcode) continue;
                if (!m_x.GetEventData(m_display, cookie)) continue;
                if (cookie->evtype == XI_RawKeyPress || cookie->evtype == XI_RawKeyRelease) {
                    const auto* raw = static_cast<const XIRawEvent*>(cookie->data);
                    OnKey(raw->detail, cookie->evtype == XI_RawKeyPress);
                }
                m_x.FreeEventData(m_display, cookie);
            }
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            if ((fds[0].revents & (POLLERR | POLLHUP)) != 0) {
                TW_LOG(LOG_CLIENT_LOGIN, 1, "[TwKeyBoardHook] the display connection ended");
                return;
            }
        }
    }

    void OnKey(int keycode, bool down) {
        if (keycode <= 0 || keycode >= static_cast<int>(m_down.size())) return;
        const auto k = static_cast<std::size_t>(keycode);
        const bool wasDown = m_down[k];
        m_down[k] = down;
        // Once per key-down: the repeats of a held key are no new key-down.
        if (!down || wasDown || (keycode != m_s && keycode != m_d)) return;
        bool alt = false;
        for (std::size_t i = 0; i < m_down.size(); ++i) alt = alt || (m_down[i] && m_isAlt[i]);
        if (!alt) return;
        const DWORD code = keycode == m_s ? TwKeyBoardHook::kControlAltS : TwKeyBoardHook::kControlAltD;
        if (!TwService::SendControlCode(TwKeyBoardHook::kServiceName, code))
            TW_LOG(LOG_CLIENT_LOGIN, 2, "[TwKeyBoardHook] control code %u not delivered",
                   static_cast<unsigned>(code));
    }

    XApi m_x;
    Display* m_display = nullptr;
    int m_opcode = 0;
    int m_stop = -1;
    int m_s = 0, m_d = 0;
    std::array<bool, 256> m_isAlt{};
    std::array<bool, 256> m_down{};
    std::thread m_thread;
};

#else

class DesktopWatcher {
public:
    bool Start() { return false; }
};

#endif

}  // namespace

TwKeyBoardHook::TwKeyBoardHook() = default;
TwKeyBoardHook::~TwKeyBoardHook() = default;

bool TwKeyBoardHook::Initialize() {
    if (m_hHookProc) return true;
    auto* watcher = new DesktopWatcher();
    if (!watcher->Start()) {
        delete watcher;
        return false;
    }
    m_hHookProc = watcher;
    return true;
}

void TwKeyBoardHook::UnregHook() {
    delete static_cast<DesktopWatcher*>(m_hHookProc);
    m_hHookProc = nullptr;
}

LONG TwKeyBoardHook::KeyStrokeHandler(int code, UINT wParam, LONG lParam) {
    const auto flags = static_cast<std::uint32_t>(lParam);
    if (code >= 0 && (wParam == kVkS || wParam == kVkD) && (flags & kAltBit) != 0 &&
        (flags & kTransitionBit) == 0) {
        TwService::SendControlCode(kServiceName, wParam == kVkS ? kControlAltS : kControlAltD);
        return 1;
    }
    // There is no next hook in the chain to pass the event on to.
    return 0;
}
