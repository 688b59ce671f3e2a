#include "client/CommandConsole.h"

#include <windows.h>
#include <stdio.h>
#include <string.h>

#include "common/secrets/SmtpPassword.h"

// A windowed program started from a command prompt has no standard handles
// of its own: it borrows the prompt's console, once.
static int ParentConsole()
{
    static int attached = -1;
    if (attached < 0)
        attached = AttachConsole(ATTACH_PARENT_PROCESS) ? 1 : 0;
    return attached;
}

static HANDLE StandardHandle(DWORD which, const char *console, DWORD access)
{
    HANDLE handle = GetStdHandle(which);
    if ((handle == NULL || handle == INVALID_HANDLE_VALUE) && ParentConsole())
        handle = CreateFileA(console, access, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    return handle == NULL ? INVALID_HANDLE_VALUE : handle;
}

static HANDLE Output()
{
    static HANDLE output = NULL;
    if (output == NULL)
        output = StandardHandle(STD_OUTPUT_HANDLE, "CONOUT$", GENERIC_WRITE);
    return output;
}

static void Write(const char *text)
{
    DWORD written = 0;
    if (Output() != INVALID_HANDLE_VALUE)
        WriteFile(Output(), text, (DWORD)strlen(text), &written, NULL);
}

void PrintCommandLine(const char *line)
{
    Write(line);
    Write("\r\n");
}

int ReadSecretLine(const char *name, char *secret, size_t size)
{
    static HANDLE input = NULL;
    if (input == NULL)
        input = StandardHandle(STD_INPUT_HANDLE, "CONIN$", GENERIC_READ | GENERIC_WRITE);
    if (input == INVALID_HANDLE_VALUE || size == 0)
        return 0;
    DWORD mode = 0;
    int console = GetConsoleMode(input, &mode);
    if (console) {
        // Typed, not shown: nobody reads it over the administrator's shoulder.
        SetConsoleMode(input, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
        char prompt[100];
        snprintf(prompt, sizeof prompt, "%s (not shown): ", name);
        Write(prompt);
    }
    // Byte by byte: nothing past the line's end is taken from a pipe that
    // holds the next secret.
    size_t length = 0;
    int fits = 1, ended = 0;
    for (;;) {
        char c;
        DWORD got = 0;
        if (!ReadFile(input, &c, 1, &got, NULL) || got == 0)
            break;
        if (c == '\n') {
            ended = 1;
            break;
        }
        if (c == '\0' || length + 1 >= size)
            fits = 0;
        else
            secret[length++] = c;
    }
    if (length > 0 && secret[length - 1] == '\r')
        length--;
    secret[length] = '\0';
    if (console) {
        SetConsoleMode(input, mode);
        Write("\r\n");
    }
    if (!fits)
        WipeSecret(secret, size);
    return fits && (ended || length > 0);
}
