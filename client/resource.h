// Resource and command identifiers of the configuration program.
// The property pages' dialog templates (133, 137, 138, and 139 for the
// E-mail page's OAuth 2.0 dialog) and their controls
// live in the pages' own resource header; keep these clear of them.
#pragma once

// Menu bar, shortcuts, icon and title share one identifier.
#define IDR_MAINFRAME        128
// The list's two right-button popups, one menu resource with two submenus.
#define IDR_INSTANCE_POPUPS  129
// The live view's menu, shortcuts and title.
#define IDR_LIVEVIEW         130
#define IDD_ABOUTBOX         100
#define IDC_ABOUT_ICON       1000
#define IDC_ABOUT_TEXT       1001

// Position of each popup inside IDR_INSTANCE_POPUPS.
#define POPUP_INSTANCE_DOCUMENT 0
#define POPUP_INSTANCE_NEW      1

// Commands, in the fixed order of their identifiers.
#define ID_APP_EXIT                32771
#define ID_APP_ABOUT               32772
#define ID_FILE_SAVE_SETTINGS      32773
#define ID_EDIT_PROPERTIES         32774
#define ID_EDIT_NEW                32775
#define ID_EDIT_DUPLICATE          32776
#define ID_EDIT_SELECT_ALL         32777
#define ID_EDIT_DELETE             32778
#define ID_SERVICE_START           32779
#define ID_SERVICE_STOP            32780
#define ID_SERVICE_RESTART         32781
#define ID_SERVICE_CONTINUE        32782
#define ID_SERVICE_PAUSE           32783
#define ID_SERVICE_START_AUTO      32784
#define ID_SERVICE_EVENT_VIEWER    32785
#define ID_VIEW_LIVE_DATA          32786
#define ID_VIEW_DOUBLE_CLICK_LIVE  32787
// The live view's commands.
#define ID_LIVE_TEXT               32790
#define ID_LIVE_HEX                32791
#define ID_LIVE_PAUSE              32792
#define ID_LIVE_COPY               32793
#define ID_LIVE_SELECT_ALL         32794

// Child window identifiers of the frame.
#define IDC_INSTANCE_LIST    0xE900
#define IDC_STATUS_BAR       0xE801
#define IDC_LIVE_TEXT        0xE902

// Strings.
#define IDS_READY            0xE001
