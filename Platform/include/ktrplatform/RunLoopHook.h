// Lets an outside event loop (the GUI framework's) drive a thread's run loop
// without polling: the descriptor is readable whenever work is pending there.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

int KTRRunLoopGetWakeDescriptor(CFRunLoopRef runLoop);
// Runs the work pending on the calling thread's run loop now, without waiting.
void KTRRunLoopPerformPending(CFRunLoopRef runLoop);

#ifdef __cplusplus
}
#endif
