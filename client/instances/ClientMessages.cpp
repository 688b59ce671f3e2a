#include "client/instances/ClientMessages.h"

MessageBoxFunction ShowMessageBox = MessageBoxA;
