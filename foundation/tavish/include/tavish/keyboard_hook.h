// TwKeyBoardHook: turns Alt+S and Alt+D into the user-defined control codes 128 and 129 of the
// service "QelClient".
//
// This system has no desktop session to hook into: Initialize() installs nothing and returns
// false. KeyStrokeHandler keeps the decision logic for key events delivered by a caller in the
// Windows message form (virtual key in wParam, key flags in lParam: bit 29 Alt, bit 31 release).
#pragma once
#include <cstdint>

#include "platform/types.h"

class TwKeyBoardHook {
public:
    TwKeyBoardHook();
    ~TwKeyBoardHook();

    bool Initialize();
    void UnregHook();
    // 1 when the key was taken (and the control code sent), else the next hook's answer (0: no
    // next hook here).
    static LONG KeyStrokeHandler(int code, UINT wParam, LONG lParam);

    static constexpr const char* kServiceName = "QelClient";
    static constexpr DWORD kControlAltS = 128;
    static constexpr DWORD kControlAltD = 129;

protected:
    static void* m_hHookProc;
};
