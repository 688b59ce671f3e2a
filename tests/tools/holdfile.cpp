// Holds a file open the way another program may (an editor, a virus
// scanner): no sharing for writing or deleting, so it can be neither
// replaced nor renamed. Prints "held" once it has the file and lets go when
// its standard input ends. Used by the setup tests.
#include <windows.h>

#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: holdfile PATH\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        printf("error %lu\n", GetLastError());
        return 1;
    }
    printf("held\n");
    fflush(stdout);
    char line[64];
    while (fgets(line, sizeof line, stdin) != NULL) {
    }
    CloseHandle(file);
    return 0;
}
