// The list's Properties command: the instance's properties sheet, modal.
#include "PropertiesCommand.h"
#include "Props.h"

int ShowInstanceProperties(HWND owner, const char *title, int n)
{
    CProps sheet(title, n, owner);
    return sheet.Show();
}
