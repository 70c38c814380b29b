// Resource and control identifiers of the program. Shared by the resource
// script and the code, so plain preprocessor definitions only.
#pragma once

#define IDI_APP 107
#define IDD_LINK 129
#define IDI_PORT_CLOSED 131
#define IDI_PORT_FAILED 132
#define IDI_PORT_OPEN 133
#define IDR_TRAY_MENU 134

#define IDC_COMBO_PORT 1000
#define IDC_COMBO_SPEED 1001
#define IDC_BTN_STARTSTOP 1002
#define IDC_BTN_SHOWHIDE 1003
#define IDC_CHK_AUTO 1007
#define IDC_CHK_HIDE 1008
#define IDC_STATUS 1009
#define IDC_CHK_SHOWHIDE 1010
#define IDC_HOTKEY_SHOWHIDE 1012
#define IDC_CHK_STARTSTOP 1013
#define IDC_HOTKEY_STARTSTOP 1014

#define ID_EXIT 32774

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
