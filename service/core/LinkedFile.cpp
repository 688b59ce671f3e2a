#include "service/core/LinkedFile.h"
#include "service/core/ReportServiceEvent.h"

// The create operation stopped after reaching a symbolic link (not in every
// SDK's headers).
#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681
#endif

int IsLinkedFile(const BY_HANDLE_FILE_INFORMATION *info)
{
    return (info->dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || info->nNumberOfLinks > 1;
}

HANDLE RefuseLinkedLogFile(HANDLE file, const char *path)
{
    if (file == INVALID_HANDLE_VALUE)
        return file;
    BY_HANDLE_FILE_INFORMATION info;
    if (GetFileInformationByHandle(file, &info) && !IsLinkedFile(&info))
        return file;
    CloseHandle(file);
    ReportServiceEvent("The log file \"%s\" is a link to another file, or could not be examined, and is not written",
                       EVENTLOG_ERROR_TYPE, path);
    SetLastError(ERROR_STOPPED_ON_SYMLINK);
    return INVALID_HANDLE_VALUE;
}
