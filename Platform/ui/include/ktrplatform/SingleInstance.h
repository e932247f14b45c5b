// One running instance per user, on any display: the first start claims a lock in the user's runtime folder
// and serves a socket beside it; a later start finds the claim taken, hands its command line to the running
// instance through that socket and ends without a window.
#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>

namespace ktrplatform {

class SingleInstance {
public:
    // A longer command line is cut to this many bytes (at a character boundary).
    static constexpr size_t kMaxMessageBytes = 64 * 1024;

    enum class Claim {
        first,        // this process runs the program; the claim lasts until the process ends, however it ends
        taken,        // another process of this user runs it
        unavailable,  // no private folder for the lock: nothing is enforced
    };
    // For main(), before the framework starts.
    static Claim claim(const juce::String& appName);

    // For a start whose claim was taken: true when the running instance took the command line, false when none
    // took it within a short time (an instance that has claimed but does not serve yet is waited for).
    static bool handOver(const juce::String& appName, const juce::String& commandLine);

    // $XDG_RUNTIME_DIR when it is the user's own, else a private folder of ours in the temporary folder; empty
    // when neither can be had.
    static std::string runtimeFolder(const juce::String& appName);
    // Where the running instance listens; empty without a runtime folder.
    static std::string endpointPath(const juce::String& appName);

    // On the message thread, once the framework's message manager exists, in the process whose claim came
    // first. `onAnotherStart` runs on the message thread with each later start's command line; it may delete
    // this object.
    SingleInstance(const juce::String& appName, std::function<void(const juce::String&)> onAnotherStart);
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    // False when another instance already serves the name, or the socket could not be set up.
    bool isServing() const;

private:
    class Server;
    std::shared_ptr<Server> m_server;
};

}  // namespace ktrplatform
