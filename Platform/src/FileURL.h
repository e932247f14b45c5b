// Internal side of file URLs.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>

namespace ktrcf {

// New URL for an absolute path, or null when the path is not absolute or holds a NUL.
CFURLRef makeFileURL(const std::string& path, bool isDirectory);
// The URL's path; empty for anything that is not a URL.
std::string urlPath(CFURLRef url);

}  // namespace ktrcf
