#pragma once
// Resource identifiers of wardenlight.exe; the .rc file and the code both include this header.

#define IDR_MANIFEST 1

// Icons.
#define IDI_APPLICATION_ICON 100  // the program (also the dialog's icons)
#define IDI_TRAY_STARTED 130      // product picture
#define IDI_GROUP_RUNTIME 133     // green arrow: "Tarvo Run-Time"
#define IDI_SERVICE_DISABLED 134  // service picture greyed
#define IDI_SERVICE_STARTED 135   // service picture
#define IDI_SERVICE_STOPPED 136   // service picture with a stop badge
#define IDI_GROUP_MAIL 139        // envelope: "Mail Server"
#define IDI_GROUP_OTHER 140       // stack of windows: "Other" and package groups
#define IDI_TRAY_DISABLED 141     // product picture greyed
#define IDI_TRAY_STOPPED 142      // product picture with a stop badge

// Strings.
#define IDS_APP_NAME 103
#define IDS_GROUP_RUNTIME 105
#define IDS_GROUP_MAIL 106
#define IDS_GROUP_OTHER 107
#define IDS_QUERY_SERVICE_STATUS 108
#define IDS_APP_CLASS 109
#define IDS_TRAY_TIP 110
#define IDS_DESCRIPTION 111
#define IDS_TITLE_FORMAT 112

// The control dialog and its controls.
#define IDD_CONTROL_DIALOG 129
#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
#define IDC_SELECT_ALL 1001
#define IDC_CLEAR_ALL 1002
#define IDC_HIDE 1006
#define IDC_SERVICE_TREE 1007
#define IDC_RESTART 1008
#define IDC_STOP 1009
#define IDC_START 1010
#define IDC_REFRESH 1011
#define IDC_STATUS 1014
#define IDC_DELETE_SESSIONS 1015
#define IDC_START_WEBSITE 1016
#define IDC_STOP_WEBSITE 1017

// The tray icon's popup menu; it also sends IDC_DELETE_SESSIONS and the two website commands.
#define IDR_TRAY_MENU 143
#define ID_MENU_CONTROL_PANEL 32775
#define ID_MENU_START 32776
#define ID_MENU_STOP 32777
#define ID_MENU_RESTART 32778
#define ID_MENU_EXIT 32780
