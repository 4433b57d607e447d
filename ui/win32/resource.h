// Resource ids of the Windows program, shared by the .rc script and the code.
#pragma once

#define IDR_MAINFRAME 128
#define IDD_ZARN_TORV2_UPGRADER_DIALOG 102
#define IDD_UPGRADE_RESULT 140

// Main dialog.
#define IDC_PROGRESS 1003
#define IDC_UPGRADE_VERSION 1004
#define IDC_CURRENT_VERSION 1005
#define IDC_UPGRADE_LABEL 1011
#define IDC_CURRENT_LABEL 1012

// Result dialog.
#define IDC_MAIN_LINE 1006
#define IDC_SUB_LINE 1007
#define IDC_SOCKET_TABLE 1008
#define IDC_UPGRADE_LINE 1009
#define IDC_CURRENT_LINE 1010

#ifndef IDC_STATIC
#define IDC_STATIC (-1)
#endif
