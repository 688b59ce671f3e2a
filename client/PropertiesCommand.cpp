// Placeholder until the properties sheet (CProps with its General, Timeout
// and E-mail pages) is built: that work replaces this file. Nothing is shown
// and nothing is applied.
#include "PropertiesCommand.h"

int ShowInstanceProperties(HWND, const char *, int)
{
    return 0;
}
