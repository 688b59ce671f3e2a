// The list's Properties command: the instance's properties sheet, modal.
#include "client/PropertiesCommand.h"
#include "client/Props.h"

int ShowInstanceProperties(HWND owner, const char *title, int n)
{
    CProps sheet(title, n, owner);
    return sheet.Show();
}
