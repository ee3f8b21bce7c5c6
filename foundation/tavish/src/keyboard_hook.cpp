// TwKeyBoardHook: the key decision; no desktop hook exists on this system (see the header).
#include "tavish/keyboard_hook.h"

#include "tavish/tw_service.h"

void* TwKeyBoardHook::m_hHookProc = nullptr;

namespace {
constexpr UINT kVkS = 0x53;
constexpr UINT kVkD = 0x44;
constexpr std::uint32_t kAltBit = 1u << 29;
constexpr std::uint32_t kTransitionBit = 1u << 31;
}  // namespace

TwKeyBoardHook::TwKeyBoardHook() = default;
TwKeyBoardHook::~TwKeyBoardHook() = default;

bool TwKeyBoardHook::Initialize() {
    // No window system session runs here, so there is no keyboard hook to install.
    m_hHookProc = nullptr;
    return false;
}

void TwKeyBoardHook::UnregHook() { m_hHookProc = nullptr; }

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
