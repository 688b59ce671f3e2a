// Test helper, "leaveport COMn": leaves the port as a careless program would (XON/XOFF, NUL
// stripping, DSR sensitivity, abort on error, an error character, CTS flow); prints what stays.
#include <windows.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    char device[32];
    snprintf(device, sizeof device, "\\\\.\\%s", argc == 2 ? argv[1] : "");
    HANDLE port = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    int set = port != INVALID_HANDLE_VALUE && GetCommState(port, &dcb);
    dcb.fOutX = dcb.fInX = dcb.fNull = dcb.fDsrSensitivity = dcb.fAbortOnError = dcb.fErrorChar = TRUE;
    dcb.ErrorChar = '?';
    dcb.fOutxCtsFlow = TRUE;
    set = set && SetCommState(port, &dcb) && GetCommState(port, &dcb);
    printf("set=%d outx=%d inx=%d null=%d cts=%d\n", set, dcb.fOutX, dcb.fInX, dcb.fNull, dcb.fOutxCtsFlow);
    CloseHandle(port);
    return set ? 0 : 1;
}
