/* Control and command identifiers of the main window; plain defines so the
   resource script can include them too. */
#pragma once

#define IDD_UPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDB_MACHINE_PICTURE 129
#define IDR_REPAIR_MENU 130

#define IDC_PROGRESS 1000
#define IDC_UPDATE_ONLINE 1001
#define IDC_STATUS 1002
#define IDC_UPDATE_LOG 1003
#define IDC_MENU_BUTTON 1004
#define IDC_DEVICE_INFO_1 1005
#define IDC_DEVICE_INFO_2 1006
#define IDC_STEPS_GROUP 1007
#define IDC_WARNING_TEXT 1008
#define IDC_LOG_GROUP 1009
#define IDC_ANTIVIRUS_TEXT 1010
#define IDC_STEPS_TEXT 1011

#define ID_FIX_DATA_ERROR 32777
#define ID_FIX_INTERNAL_ERROR_1 32778
