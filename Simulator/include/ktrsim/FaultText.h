// Faults written as text, for the command line of the standalone simulator:
// comma-separated items, exactly one of them naming the step.
//   step:    report=N | cmd=C:N | chunk=K     (indexes from 0)
//   reply:   noreply | reply=CODE | percent=P | size=BYTES | delay=MS
//   removal: unplug=instead|after [rearrive=MS]
// Numbers are decimal or 0x-prefixed hexadecimal.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ktrsim/KtrQ7Model.h"

namespace ktrsim {

// The largest reply a fault may ask for: what one frame to the platform can carry.
constexpr size_t kMaxFaultReplySize = 65530;
// The longest delay or re-arrival time a fault may ask for: a day.
constexpr uint64_t kMaxFaultMillis = 24ull * 60 * 60 * 1000;

// A whole unsigned number, decimal or 0x hexadecimal, no larger than max.
std::optional<uint64_t> parseUnsigned(const std::string& text, uint64_t max);

// Null on any malformed item, with a message naming it in error.
std::optional<Fault> parseFaultText(const std::string& text, std::string& error);

}  // namespace ktrsim
