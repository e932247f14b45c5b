// Bundles. A bundle is a folder whose resources lie in its "Resources" subfolder. The main
// bundle is the folder of the running executable, with the identifier "org.ktrq7.updater".
// A bundle made with CFBundleCreate takes its identifier from "CFBundleIdentifier" in the
// folder's Info.plist; bundles stay known to the process once made.
#pragma once

#include <CoreFoundation/CFURL.h>
#include <CoreFoundation/CoreFoundation.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __CFBundle* CFBundleRef;

CFTypeID CFBundleGetTypeID(void);
// Not retained for the caller; null when the executable's folder cannot be found.
CFBundleRef CFBundleGetMainBundle(void);
// Not retained for the caller; null when no known bundle has the identifier.
CFBundleRef CFBundleGetBundleWithIdentifier(CFStringRef bundleID);
// The main bundle first, then the others in the order they were made. Not retained for the caller.
CFArrayRef CFBundleGetAllBundles(void);
// A new bundle for an existing folder, or the bundle already made for it (retained again).
CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);
// Not retained for the caller; null when the bundle has none.
CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);
CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);
CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle);
// Resources/[subDirName/]resourceName[.resourceType] when it exists, else null. A name or type
// holding '/' and a subfolder stepping out with ".." find nothing.
CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName);

#ifdef __cplusplus
}
#endif
