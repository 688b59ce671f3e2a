// Hands bytes to the capture queue as the reader does, received now (or at
// a time of the test's own).
#pragma once

#include <string>

#include "service/capture/CaptureQueue.h"
#include "service/core/ServiceState.h"

inline void HandOverAt(const std::string &text, const SYSTEMTIME &arrival)
{
    CreateServiceSynchronisation();
    CaptureBytes((const BYTE *)text.data(), (DWORD)text.size(), arrival);
}

// A disk pulled and put back, a share whose session dropped: the handle that
// was open then fails for good, though its path works again.
inline HANDLE &DeadHandle()
{
    static HANDLE dead = INVALID_HANDLE_VALUE;
    return dead;
}
inline BOOL WINAPI WriteToPulledDisk(HANDLE file, LPCVOID data, DWORD length, LPDWORD written,
                                     LPOVERLAPPED at)
{
    if (file != DeadHandle())
        return WriteFile(file, data, length, written, at);
    *written = 0;
    SetLastError(ERROR_DEVICE_NOT_CONNECTED);
    return FALSE;
}

inline void HandOver(const std::string &text)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    HandOverAt(text, now);
}
