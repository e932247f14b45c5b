// IOKit result codes used by this program.
#pragma once

#include <stdint.h>

typedef int kern_return_t;
typedef kern_return_t IOReturn;

#define kIOReturnSuccess 0
#define kIOReturnError ((IOReturn)0xE00002BC)
#define kIOReturnNoMemory ((IOReturn)0xE00002BD)
#define kIOReturnNoDevice ((IOReturn)0xE00002C0)
#define kIOReturnBadArgument ((IOReturn)0xE00002C2)
#define kIOReturnUnsupported ((IOReturn)0xE00002C7)
#define kIOReturnNotOpen ((IOReturn)0xE00002CD)
#define kIOReturnNotPermitted ((IOReturn)0xE00002E2)
#define kIOReturnNotAttached ((IOReturn)0xE00002D9)
#define kIOReturnTimeout ((IOReturn)0xE00002D6)
#define kIOReturnUnderrun ((IOReturn)0xE00002E7)
#define kIOReturnOverrun ((IOReturn)0xE00002E8)
