// kiv-cloud: the reference cloud service of the KIV library, run from the command line.
#include <csignal>
#include <cstdio>
#include <string>

#include "CloudCommandLine.hpp"
#include "CloudServer.hpp"

int main(int argc, char** argv) {
    auto commandLine = kiv::cloud::CloudCommandLine::parse(argc, argv);
    if (!commandLine.options) return commandLine.exitStatus;

    // Block the stop signals before any thread starts, so only sigwait below receives them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    std::string error;
    auto server = kiv::cloud::CloudServer::create(std::move(*commandLine.options), error);
    if (!server || !server->start(error)) {
        std::fprintf(stderr, "kiv-cloud: %s\n", error.c_str());
        return 1;
    }
    std::printf("listening on %s:%d\n", server->host().c_str(), server->port());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server->stop();
    return 0;
}
