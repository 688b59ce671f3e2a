// Small helpers the property pages share to fill and read their controls.
#pragma once

#include <windows.h>

// Combo-box item lists carried with a dialog template: resource type 240,
// the same name as the template (control, CB_ADDSTRING, length, text
// records), as resource compilers write them.
#ifndef RT_DLGINIT
#define RT_DLGINIT 240
#endif
// The message code these records carry for CB_ADDSTRING (its 16-bit value).
#define DLGINIT_CB_ADDSTRING 0x0403

// Adds the combo-box items carried with dialog template templateId (resource
// type RT_DLGINIT) to the page's combo boxes. Returns the number added.
int FillListsFromTemplate(HWND page, UINT templateId);

// The text a combo box holds for the notification code: during CBN_SELCHANGE
// the box's own text is still the old one, so the selected item's text is
// read instead. Always terminated, cut to size.
void ReadComboText(HWND combo, int notification, char *text, int size);

// Checks or clears a check box or radio button.
void SetChecked(HWND page, int id, int checked);
int IsChecked(HWND page, int id);

// Lets the user choose a trusted CA file (certificates: .pem, .crt, .cer,
// .der) for the edit box boxId, opened on the file the box names. The box's
// change event stores the choice; Cancel leaves it as it was. size: the
// most the value may hold, terminating zero included (at most 1024).
void BrowseForTrustedCa(HWND page, int boxId, int size);
