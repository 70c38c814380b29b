// The two global hotkeys. A value is the hotkey control's word: the virtual
// key in the low byte, HOTKEYF_* flags in the high byte.
#pragma once

#include <windows.h>

namespace ql {

// HOTKEYF_SHIFT, _CONTROL, _ALT as MOD_SHIFT, _CONTROL, _ALT; HOTKEYF_EXT has no MOD_ twin.
UINT HotkeyModifiers(unsigned value);

// RegisterHotKey for `value` under `id`; the result also goes to the trace.
BOOL RegisterHotkeyValue(HWND window, int id, unsigned value);

}  // namespace ql
