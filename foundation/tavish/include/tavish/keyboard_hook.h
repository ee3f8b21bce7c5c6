// TwKeyBoardHook: turns Alt+S and Alt+D into the user-defined control codes 128 and 129 of the
// service "QelClient".
//
// On an X11 desktop Initialize() watches the whole desktop's keys through the X Input extension's
// raw key events on the root window: every program still gets its keys (nothing is grabbed or
// swallowed), and each Alt+S or Alt+D key-down sends its code once (auto-repeat sends nothing more).
// The X libraries are loaded when Initialize() runs, so a program that never asks for the hook, or
// runs without a display, needs none of them. Without a display, on Wayland (whose programs' keys
// an X client cannot see), without the X libraries or without XInput 2.2, Initialize() returns
// false. A thread of its own reads the events until UnregHook().
//
// KeyStrokeHandler keeps the decision for key events delivered in the Windows message form
// (virtual key in wParam, key flags in lParam: bit 29 Alt, bit 31 release).
//
// Thread-safety: Initialize and UnregHook from one thread at a time; one hook per process.
#pragma once
#include <cstdint>

#include "platform/types.h"

class TwKeyBoardHook {
public:
    TwKeyBoardHook();
    ~TwKeyBoardHook();

    // True when the hook runs (also when it already ran).
    bool Initialize();
    void UnregHook();
    // 1 when the key was taken (and the control code sent), else the next hook's answer (0: no
    // next hook here).
    static LONG KeyStrokeHandler(int code, UINT wParam, LONG lParam);

    static constexpr const char* kServiceName = "QelClient";
    static constexpr DWORD kControlAltS = 128;
    static constexpr DWORD kControlAltD = 129;

protected:
    // The running desktop watcher, or null.
    static void* m_hHookProc;
};
