// A file opened for the service's writing that is not a plain file of its
// own: a reparse point (a symbolic link, a junction's target, a mount point)
// or a second name of another file (a hard link). Whoever may write the
// folder could otherwise point the service, LocalSystem, at a file of their
// choosing.
#pragma once

#include <windows.h>

// Whether the file's information shows a link of either kind.
int IsLinkedFile(const BY_HANDLE_FILE_INFORMATION *info);

// For a handle opened with FILE_FLAG_OPEN_REPARSE_POINT: the handle itself,
// or, for a linked file (or one whose information cannot be read), an error
// event naming path, the handle closed and INVALID_HANDLE_VALUE with
// ERROR_STOPPED_ON_SYMLINK. INVALID_HANDLE_VALUE passes through.
HANDLE RefuseLinkedLogFile(HANDLE file, const char *path);
