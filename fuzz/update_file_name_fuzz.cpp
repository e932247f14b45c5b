// The update-file name rule on arbitrary names, against a plain restatement of it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "MainComponent.h"

static bool expected(const std::string& name, const std::string& prefix) {
    const std::size_t dot = name.find('.');
    return name.size() >= 12 && name.size() <= 14 && name.compare(0, prefix.size(), prefix) == 0 &&
           dot != std::string::npos && name.compare(dot, 4, ".upd") == 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    const std::string name = raw.substr(0, raw.find('\0'));
    for (const char* prefix : {"ktrq7_", "KTRQ7_"}) {
        if (MainComponent::CheckFileName(raw.c_str(), prefix, ".upd") != expected(name, prefix)) __builtin_trap();
    }
    return 0;
}
