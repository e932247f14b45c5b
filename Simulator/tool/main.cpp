// ktrq7-sim: a simulated KTR-Q7 as its own process, served on a Unix socket.
#include <iostream>

#include "SimServer.h"
#include "ToolOptions.h"

int main(int argc, char** argv) {
    std::string error;
    const auto options = ktrsimtool::parseOptions(argc, argv, error);
    if (!options) {
        std::cerr << "ktrq7-sim: " << error << "\nTry 'ktrq7-sim --help'.\n";
        return 2;
    }
    if (options->help) {
        std::cout << ktrsimtool::usageText();
        return 0;
    }
    ktrsimtool::SimServer server(*options);
    return server.run();
}
