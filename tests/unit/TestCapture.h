// Hands bytes to the capture queue as the reader does, received now.
#pragma once

#include <string>

#include "service/capture/CaptureQueue.h"
#include "service/core/ServiceState.h"

inline void HandOver(const std::string &text)
{
    CreateServiceSynchronisation();
    SYSTEMTIME now;
    GetLocalTime(&now);
    CaptureBytes((const BYTE *)text.data(), (DWORD)text.size(), now, FALSE);
}
