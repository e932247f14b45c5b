// Registry keys of I/O services.
#pragma once

#define kIOProviderClassKey "IOProviderClass"
