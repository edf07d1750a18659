// Resource identifiers shared by VornService.rc and the program's C++ sources.
// Plain #defines only, so that windres and the C++ compiler both read this file.
#pragma once

// String table
#define IDS_APP_TITLE 103
#define IDS_COLUMN_NAME 104
#define IDS_COLUMN_PRODUCT 105
#define IDS_COLUMN_ID 106
#define IDS_SERIAL_LABEL 107
#define IDS_SET_SERIAL 108
#define IDS_COLUMN_DESCRIPTION 110
#define IDS_COLUMN_IP_ADDRESS 111
#define IDS_COLUMN_MAC_ADDRESS 112
#define IDS_CURRENT_SERIAL 113
#define IDS_CONFIRM_SERIAL 114

// The window class name (string), the main menu and the accelerator table.
#define IDC_VORNSERVICE 109

// Menu commands
#define IDM_ABOUT 104
#define IDM_EXIT 105
#define IDM_COPY 32771
#define IDM_EXPORT 32772
#define IDM_JOURNAL 32773
#define IDM_HISTORY 32774

// Dialogs
#define IDD_NETWORK 129
#define IDD_CONFIRM_SERIAL 130

// Bitmaps and icons
#define IDB_LOGO 131
#define IDB_LOGO_150 134 // the logo drawn for 150 % and 200 %
#define IDB_LOGO_200 135
#define IDI_VORNSERVICE 133

// Controls of the network dialog
#define IDC_NETWORK_LIST 1001
#define IDC_NETWORK_LABEL 1002

// Controls of the serial number confirmation dialog
#define IDC_CONFIRM_LABEL 1003
#define IDC_CONFIRM_EDIT 1004

// Controls of the main window
#define IDC_DEVICE_LIST 1500
#define IDC_SERIAL_EDIT 1501
#define IDC_SET_SERIAL 1502
#define IDC_STATUS_BAR 1503
