// Stands in for client.exe in a setup program built for the tests.
// Appends its command line to C:\standin-client.txt and prints it; exits
// with CODE when TALLY_STANDIN_FAIL is "VERB=CODE" and the command line
// starts with VERB, else with 0. With TALLY_STANDIN_WAIT set it first waits
// until its standard input closes (a program that keeps running).
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

int main()
{
    const char *arguments = GetCommandLineA();
    // Past the program's own name, quoted or not.
    if (*arguments == '"')
        arguments = strchr(arguments + 1, '"') != NULL ? strchr(arguments + 1, '"') + 1 : "";
    else
        arguments += strcspn(arguments, " ");
    arguments += strspn(arguments, " ");
    FILE *calls = fopen("C:\\standin-client.txt", "a");
    if (calls != NULL) {
        fprintf(calls, "%s\n", arguments);
        fclose(calls);
    }
    printf("stand-in client.exe called with: %s\n", arguments);
    fflush(stdout);
    if (getenv("TALLY_STANDIN_WAIT") != NULL)
        while (getchar() != EOF) {
        }
    const char *fail = getenv("TALLY_STANDIN_FAIL");
    const char *equals = fail != NULL ? strchr(fail, '=') : NULL;
    if (equals != NULL && strncmp(arguments, fail, (size_t)(equals - fail)) == 0)
        return atoi(equals + 1);
    return 0;
}
