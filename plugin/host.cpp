// host.cpp: asking the game to close.
#include "plugin/host.h"

void Host_RequestClose(void) {
    WindowInfo.exists = 0;
    Event_RaiseVoid(&WindowEvents.Closing);
}
