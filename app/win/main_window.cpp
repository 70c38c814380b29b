#include "app/win/main_window.h"

#include "app/win/app_messages.h"
#include "res/resource.h"
#include "serial/win/serial_wnd.h"

namespace ql {
namespace {

// What the window serves, kept in its extra bytes.
struct SerialTarget {
  CSerialWnd* port;
  SerialEventHandler* handler;
};
constexpr int kPortSlot = 0;
constexpr int kHandlerSlot = sizeof(LONG_PTR);

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CREATE: {
      const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
      const auto* target = static_cast<const SerialTarget*>(create->lpCreateParams);
      SetWindowLongPtrA(window, kPortSlot, reinterpret_cast<LONG_PTR>(target->port));
      SetWindowLongPtrA(window, kHandlerSlot, reinterpret_cast<LONG_PTR>(target->handler));
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wParam) != kCmdDestroyMain) break;
      DestroyWindow(window);
      return 0;
    case WM_SERIAL_EVENT: {
      // Taken before the handler reads the port: what arrives while it reads
      // is posted anew instead of being folded into this notification.
      auto* port = reinterpret_cast<CSerialWnd*>(GetWindowLongPtrA(window, kPortSlot));
      if (port != nullptr) port->NotificationTaken();
      auto* handler =
          reinterpret_cast<SerialEventHandler*>(GetWindowLongPtrA(window, kHandlerSlot));
      if (handler != nullptr) (*handler)(message, wParam, lParam);
      return 0;
    }
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

bool HandOverToRunningInstance() {
  HWND running = FindWindowA(nullptr, kDialogCaption);
  if (running == nullptr) return false;
  SendMessageA(running, WM_COMMAND, IDC_BTN_SHOWHIDE, 0);
  return true;
}

ATOM RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSEXA windowClass{};
  windowClass.cbSize = sizeof windowClass;
  windowClass.style = CS_HREDRAW | CS_VREDRAW;
  windowClass.lpfnWndProc = MainWindowProc;
  windowClass.cbWndExtra = 2 * sizeof(LONG_PTR);
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_APP));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  windowClass.lpszClassName = kMainWindowClass;
  return RegisterClassExA(&windowClass);
}

HWND CreateMainWindow(HINSTANCE instance, CSerialWnd* port, SerialEventHandler* handler) {
  SerialTarget target{port, handler};
  return CreateWindowExA(0, kMainWindowClass, kMainWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                         CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance,
                         &target);
}

int RunMessageLoop() {
  MSG message;
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}

}  // namespace ql
