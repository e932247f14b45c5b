// Devices served by a simulator process (ktrq7-sim) on a Unix socket.
#pragma once

namespace ktrplatform::detail {

// Once per process: when KTRQ7_SIM_SOCKET names a socket, a thread of its own
// keeps the simulator there connected, attaching its device to the registry
// while the simulator says it is on the bus. Without the variable it does nothing.
void startSimulatorSource();

}  // namespace ktrplatform::detail
