// The few message boxes of the configuration program go through one pointer,
// so the logic tests under Wine can record them instead of blocking on them.
#pragma once

#include <windows.h>

typedef int (WINAPI *MessageBoxFunction)(HWND owner, LPCSTR text, LPCSTR caption, UINT type);
extern MessageBoxFunction ShowMessageBox;

#define SCM_NOT_OPENED_TEXT      "Service Control Manager could not be opened!"
#define SCM_NOT_OPENED_CAPTION   "Tallyline"
#define TABLE_FULL_TEXT          "The maximum number of services has been reached!"
#define TABLE_FULL_CAPTION       "Error"
#define LEAVING_PROMPT_TEXT      "The settings have changed.\n\nDo you want to save the changes?"
#define LEAVING_PROMPT_CAPTION   "Tallyline Configuration"
#define SAVE_FAILED_CAPTION      "Tallyline Configuration"
#define FIREWALL_NOTICE_CAPTION  "Windows Firewall"
#define PROGRAM_FOLDER_CAPTION   "Tallyline Configuration"
#define EMAIL_ERROR_CAPTION      "E-mail Error"
