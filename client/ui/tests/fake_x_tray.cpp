// A stand-in for an X desktop's tray (the XEmbed system tray): takes the screen's tray selection,
// announces itself with the MANAGER message as a tray does when it starts, prints "READY", and
// prints "DOCK" for each icon that asks to be docked. Ended by a signal, it leaves the display and
// the selection with it, as a tray that goes away does. Run by vorn_tray_host_test.
#include <X11/Xlib.h>

#include <cstdio>
#include <string>

int main() {
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no display\n");
        return 1;
    }
    const int screen = DefaultScreen(display);
    const Window root = RootWindow(display, screen);
    const Window tray = XCreateSimpleWindow(display, root, 0, 0, 1, 1, 0, 0, 0);
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(screen);
    const Atom selection = XInternAtom(display, name.c_str(), False);
    const Atom opcode = XInternAtom(display, "_NET_SYSTEM_TRAY_OPCODE", False);
    XSetSelectionOwner(display, selection, tray, CurrentTime);
    if (XGetSelectionOwner(display, selection) != tray) {
        std::fprintf(stderr, "the tray selection is taken\n");
        return 1;
    }
    XEvent manager{};
    manager.xclient.type = ClientMessage;
    manager.xclient.window = root;
    manager.xclient.message_type = XInternAtom(display, "MANAGER", False);
    manager.xclient.format = 32;
    manager.xclient.data.l[0] = CurrentTime;
    manager.xclient.data.l[1] = static_cast<long>(selection);
    manager.xclient.data.l[2] = static_cast<long>(tray);
    XSendEvent(display, root, False, StructureNotifyMask, &manager);
    XSync(display, False);
    std::printf("READY\n");
    std::fflush(stdout);
    for (;;) {
        XEvent e;
        XNextEvent(display, &e);
        // SYSTEM_TRAY_REQUEST_DOCK is opcode 0; the icon's window comes in data.l[2].
        if (e.type == ClientMessage && e.xclient.message_type == opcode && e.xclient.data.l[1] == 0) {
            std::printf("DOCK %lx\n", static_cast<unsigned long>(e.xclient.data.l[2]));
            std::fflush(stdout);
        }
    }
}
