#include "ktrsim/FaultText.h"

#include <cstdint>
#include <set>
#include <vector>

namespace ktrsim {

namespace {

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end == std::string::npos ? std::string::npos : end - begin));
        if (end == std::string::npos) return parts;
        begin = end + 1;
    }
}

int digitValue(char c, int base) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    return v < base ? v : -1;
}

}  // namespace

std::optional<uint64_t> parseUnsigned(const std::string& text, uint64_t max) {
    int base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i >= text.size()) return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const int d = digitValue(text[i], base);
        if (d < 0) return std::nullopt;
        // Checked before multiplying, so a long string cannot wrap around.
        const auto digit = static_cast<uint64_t>(d);
        if (digit > max || value > (max - digit) / static_cast<uint64_t>(base)) return std::nullopt;
        value = value * static_cast<uint64_t>(base) + digit;
    }
    return value;
}

std::optional<Fault> parseFaultText(const std::string& text, std::string& error) {
    Fault fault;
    bool haveStep = false;
    std::set<std::string> seen;
    auto fail = [&](const std::string& why) {
        error = "bad fault '" + text + "': " + why;
        return std::nullopt;
    };

    for (const std::string& item : split(text, ',')) {
        const size_t eq = item.find('=');
        const std::string key = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        const bool hasValue = eq != std::string::npos;
        if (key.empty()) return fail("empty item");
        if (!seen.insert(key).second) return fail("'" + key + "' given twice");
        const bool isStep = key == "report" || key == "cmd" || key == "chunk";
        if (isStep && haveStep) return fail("more than one step");
        if (key != "noreply" && !hasValue) return fail("'" + key + "' needs a value");

        if (key == "report" || key == "chunk") {
            const auto n = parseUnsigned(value, SIZE_MAX);
            if (!n) return fail("'" + value + "' is not an index");
            fault.step = key == "report" ? Step::report(*n) : Step::chunk(*n);
        } else if (key == "cmd") {
            const auto parts = split(value, ':');
            const auto cmd = parts.size() == 2 ? parseUnsigned(parts[0], 0xFF) : std::nullopt;
            const auto n = parts.size() == 2 ? parseUnsigned(parts[1], SIZE_MAX) : std::nullopt;
            if (!cmd || !n) return fail("cmd wants COMMAND:INDEX, e.g. cmd=0xF2:0");
            fault.step = Step::ofCommand(static_cast<uint8_t>(*cmd), *n);
        } else if (key == "noreply") {
            if (hasValue) return fail("noreply takes no value");
            fault.noReply = true;
        } else if (key == "reply" || key == "percent") {
            const auto v = parseUnsigned(value, 0xFF);
            if (!v) return fail("'" + value + "' is not a byte");
            (key == "reply" ? fault.replyCode : fault.percent) = static_cast<uint8_t>(*v);
        } else if (key == "size") {
            const auto v = parseUnsigned(value, kMaxFaultReplySize);
            if (!v) return fail("size wants 0 to " + std::to_string(kMaxFaultReplySize));
            fault.replySize = *v;
        } else if (key == "delay" || key == "rearrive") {
            const auto v = parseUnsigned(value, kMaxFaultMillis);
            if (!v) return fail("'" + value + "' is not a time in milliseconds up to a day");
            const std::chrono::milliseconds ms(static_cast<int64_t>(*v));
            if (key == "delay")
                fault.delay = ms;
            else
                fault.rearriveAfter = ms;
        } else if (key == "unplug") {
            if (value == "instead")
                fault.removal = Fault::Removal::InsteadOfReply;
            else if (value == "after")
                fault.removal = Fault::Removal::AfterReply;
            else
                return fail("unplug wants 'instead' or 'after'");
        } else {
            return fail("unknown item '" + key + "'");
        }
        haveStep = haveStep || isStep;
    }
    if (!haveStep) return fail("no step (report=N, cmd=C:N or chunk=K)");
    // Without a removal the model would ignore it, silently: say so instead.
    if (fault.rearriveAfter && fault.removal == Fault::Removal::None) return fail("rearrive needs unplug");
    return fault;
}

}  // namespace ktrsim
