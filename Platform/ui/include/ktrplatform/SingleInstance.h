// One running instance per user: a later start hands its command line to the running one through a local
// socket named after the program and the user, and ends without a window.
#pragma once

#include <juce_core/juce_core.h>

#include <cstddef>
#include <functional>
#include <memory>

namespace ktrplatform {

class SingleInstance {
public:
    // A longer command line is cut to this many bytes (at a character boundary).
    static constexpr size_t kMaxMessageBytes = 64 * 1024;

    // For main(), before the framework starts: true when a running instance took the command line (the caller
    // then ends), false when none listens or it did not take the line within a short time.
    static bool handOver(const juce::String& appName, const juce::String& commandLine);

    // On the message thread, once the framework's message manager exists. `onAnotherStart` runs on the message
    // thread with each later start's command line; it may delete this object.
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
