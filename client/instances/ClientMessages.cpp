#include "ClientMessages.h"

MessageBoxFunction ShowMessageBox = MessageBoxA;
