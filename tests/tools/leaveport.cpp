// Test helper: leaves a serial port as a careless program would, for the
// next opener to find: XON/XOFF, NUL stripping, DSR sensitivity, abort on
// error, an error character, hardware flow control. Prints the flags the
// driver reports afterwards (Wine keeps only some, the pseudo-terminal's).
//   leaveport COMn
#include <windows.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char **argv)
{
    char device[32];
    snprintf(device, sizeof device, "\\\\.\\%s", argc == 2 ? argv[1] : "");
    HANDLE port = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (port == INVALID_HANDLE_VALUE || !GetCommState(port, &dcb)) {
        printf("error %lu\n", GetLastError());
        return 1;
    }
    dcb.fOutX = dcb.fInX = dcb.fNull = dcb.fDsrSensitivity = dcb.fAbortOnError = dcb.fErrorChar = TRUE;
    dcb.ErrorChar = '?';
    dcb.fOutxCtsFlow = TRUE;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    int set = SetCommState(port, &dcb);
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    printf("set=%d outx=%d inx=%d null=%d cts=%d\n", set, dcb.fOutX, dcb.fInX, dcb.fNull, dcb.fOutxCtsFlow);
    CloseHandle(port);
    return set ? 0 : 1;
}
