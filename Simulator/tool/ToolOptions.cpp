#include "ToolOptions.h"

#include <ktrsim/FaultText.h>
#include <sys/un.h>

namespace ktrsimtool {

const char* usageText() {
    return R"(Usage: ktrq7-sim --socket PATH [options]
Runs one simulated KTR-Q7 in update mode and serves it on a Unix socket; a
program using the platform layer with KTRQ7_SIM_SOCKET=PATH sees it as a HID device.

Device:
  --product ID            product ID, 0x61 to 0x64 on real devices (default 0x61)
  --release BCD           release number as BCD, 0x0105 is 1.05 (default 0x0100)
  --input-size N          bytes in each reply (default 1024)
  --last-chunk-reply C    reply to the last data chunk, 0xFE or 0xFB (default 0xFE)
  --finish-writing N      0xF7 replies before the 0xFC (default 3)
Presence:
  --unplugged             not on the bus until the 'plug' command
  --plug-after MS         not on the bus until MS milliseconds after start
Faults:
  --fault FAULT           change the device's answer at one step; repeatable.
      FAULT is comma-separated items, exactly one of them the step:
        report=N          the N-th report received (from 0)
        cmd=C:N           the N-th report with command byte C
        chunk=K           the K-th data chunk since the last start request
      and any of:
        noreply           send no reply
        reply=CODE        reply code instead of the normal one
        percent=P         percentage byte instead of the normal one
        size=BYTES        reply of this many bytes (0 to 65530)
        delay=MS          wait before the reply (or before a removal replacing it)
        unplug=instead|after   leave the bus instead of or after replying
        rearrive=MS       come back MS milliseconds after that removal
      Numbers are decimal or 0x hexadecimal. Examples:
        --fault chunk=3,reply=0xFE   --fault cmd=0xF2:0,noreply
        --fault chunk=5,unplug=after,rearrive=200
Output:
  --reports FILE          each output report received, as 1024-byte records
                          (zero-padded or cut), appended as they arrive
  --image FILE            the received image, written when the session finishes and at exit
  --exit-after-finish     exit once the finish reply (0xFC) has been sent
  --help                  this text

Commands on standard input, one per line: plug, unplug, replug, quit.
End of input does not quit; SIGTERM and SIGINT do.
Status lines on standard output: listening PATH, connected, disconnected,
plugged, unplugged, report CMD N (CMD in hex, N the report's index from 0),
finished crc=ok|bad.
Exit status: 0 when the received image is complete and matches the announced
CRC, 1 when not, 2 on bad usage or when the socket or a file cannot be opened.
)";
}

std::optional<ToolOptions> parseOptions(int argc, const char* const* argv, std::string& error) {
    ToolOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const char* value = nullptr;
        auto needValue = [&]() -> bool {
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            value = argv[++i];
            return true;
        };
        auto number = [&](uint64_t max) -> std::optional<uint64_t> {
            if (!needValue()) return std::nullopt;
            const auto n = ktrsim::parseUnsigned(value, max);
            if (!n) error = name + ": '" + value + "' is not a number from 0 to " + std::to_string(max);
            return n;
        };

        if (name == "--help" || name == "-h") {
            options.help = true;
        } else if (name == "--socket") {
            if (!needValue()) return std::nullopt;
            options.socketPath = value;
        } else if (name == "--product" || name == "--release") {
            const auto n = number(0xFFFF);
            if (!n) return std::nullopt;
            (name == "--product" ? options.model.identity.productID : options.model.identity.releaseNumber) =
                static_cast<int64_t>(*n);
        } else if (name == "--input-size") {
            const auto n = number(ktrsim::kMaxFaultReplySize);
            if (!n) return std::nullopt;
            options.model.inputReportSize = *n;
        } else if (name == "--last-chunk-reply") {
            const auto n = number(0xFF);
            if (!n) return std::nullopt;
            if (*n != ktrsim::reply::kBlockDone && *n != ktrsim::reply::kBlockDoneAlt) {
                error = "--last-chunk-reply must be 0xFE or 0xFB";
                return std::nullopt;
            }
            options.model.lastChunkReply = static_cast<uint8_t>(*n);
        } else if (name == "--finish-writing") {
            const auto n = number(1000);
            if (!n) return std::nullopt;
            options.model.finishWritingReplies = static_cast<int>(*n);
        } else if (name == "--unplugged") {
            options.plugged = false;
        } else if (name == "--plug-after") {
            const auto n = number(ktrsim::kMaxFaultMillis);
            if (!n) return std::nullopt;
            options.plugAfter = std::chrono::milliseconds(static_cast<int64_t>(*n));
        } else if (name == "--fault") {
            if (!needValue()) return std::nullopt;
            auto fault = ktrsim::parseFaultText(value, error);
            if (!fault) return std::nullopt;
            options.faults.push_back(*fault);
        } else if (name == "--reports" || name == "--image") {
            if (!needValue()) return std::nullopt;
            (name == "--reports" ? options.reportsPath : options.imagePath) = value;
        } else if (name == "--exit-after-finish") {
            options.exitAfterFinish = true;
        } else {
            error = "unknown option '" + name + "'";
            return std::nullopt;
        }
    }
    if (options.help) return options;
    if (options.socketPath.empty()) {
        error = "--socket PATH is required";
        return std::nullopt;
    }
    if (options.socketPath.size() >= sizeof(sockaddr_un::sun_path)) {
        error = "socket path longer than " + std::to_string(sizeof(sockaddr_un::sun_path) - 1) + " bytes";
        return std::nullopt;
    }
    if (options.plugAfter) options.plugged = false;
    return options;
}

}  // namespace ktrsimtool
