#include "app/win/hotkeys.h"

#include <commctrl.h>

#include "link/trace.h"

namespace ql {

UINT HotkeyModifiers(unsigned value) {
  const unsigned flags = (value >> 8) & 0xFFu;
  UINT modifiers = 0;
  if ((flags & HOTKEYF_SHIFT) != 0) modifiers |= MOD_SHIFT;
  if ((flags & HOTKEYF_CONTROL) != 0) modifiers |= MOD_CONTROL;
  if ((flags & HOTKEYF_ALT) != 0) modifiers |= MOD_ALT;
  return modifiers;
}

BOOL RegisterHotkeyValue(HWND window, int id, unsigned value) {
  const BOOL result = RegisterHotKey(window, id, HotkeyModifiers(value), value & 0xFFu);
  TraceNumber(result);
  return result;
}

}  // namespace ql
