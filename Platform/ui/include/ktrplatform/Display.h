// Whether the program can reach a display at all.
#pragma once

namespace ktrplatform {

// False when no X display can be opened (DISPLAY unset or the server unreachable): the framework would then
// fail on its first window instead of saying why.
bool displayAvailable();

}  // namespace ktrplatform
