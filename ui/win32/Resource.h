/* Resource identifiers of the main window: the dialog, the icon, the picture,
   the menu, the window's own texts and the menu's commands, besides the
   controls the workers reach (engine/ControlIds.h). */
#pragma once

#include "engine/ControlIds.h"

#define IDD_UPDATE_DIALOG 102
#define IDR_MAINFRAME 128
#define IDB_MACHINE_PICTURE 129
#define IDR_REPAIR_MENU 130

#define IDC_STEPS_GROUP 1007
#define IDC_WARNING_TEXT 1008
#define IDC_LOG_GROUP 1009
#define IDC_ANTIVIRUS_TEXT 1010
#define IDC_STEPS_TEXT 1011

#define ID_FIX_DATA_ERROR 32777
#define ID_FIX_INTERNAL_ERROR_1 32778
