/* The controls of the worker-window contract: the status line, the progress
   bar, the two command buttons and the three display texts. Plain defines so
   the resource script can include them too. */
#pragma once

#define IDC_PROGRESS 1000
#define IDC_UPDATE_ONLINE 1001
#define IDC_STATUS 1002
#define IDC_UPDATE_LOG 1003
#define IDC_MENU_BUTTON 1004
#define IDC_DEVICE_INFO_1 1005
#define IDC_DEVICE_INFO_2 1006
