// The command line of ktrq7-sim.
#pragma once

#include <ktrsim/KtrQ7Model.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace ktrsimtool {

struct ToolOptions {
    std::string socketPath;
    ktrsim::ModelConfig model;
    std::vector<ktrsim::Fault> faults;
    bool plugged = true;  // on the bus at start
    std::optional<std::chrono::milliseconds> plugAfter;
    std::string reportsPath;
    std::string imagePath;
    bool exitAfterFinish = false;
    bool help = false;
};

// Null on bad usage, with the reason in error.
std::optional<ToolOptions> parseOptions(int argc, const char* const* argv, std::string& error);

const char* usageText();

}  // namespace ktrsimtool
