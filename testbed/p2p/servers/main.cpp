// p2p-servers: the master, group servers and fixed server on their addresses until SIGTERM or SIGINT.
// Prints "ready" on stdout once every socket is bound.
#include <csignal>
#include <cstdio>
#include <string>

#include "p2p_servers.h"

int main(int argc, char **argv) {
    qvbed::p2p::Options o;
    std::string error;
    if (!qvbed::p2p::parse_args(argc, argv, &o, &error)) {
        std::fprintf(
            stderr,
            "p2p-servers: %s\nusage: p2p-servers [--master A:P] [--server A:P]... [--fixed A:P | "
            "--no-fixed] [--refuse-uid UID]... [--silent] [--device-version N] [--asleep] "
            "[--no-punch-answer] [--answer-checks] [--tcp-off] [--peer-form 36|116|292] [--no-relay] "
            "[--relay-status N] [--second-relay-status N] [--log FILE]\n",
            error.c_str());
        return 2;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);  // before the poll thread starts, so it inherits the mask
    qvbed::p2p::ServerSet servers(o);
    if (!servers.start(&error)) {
        std::fprintf(stderr, "p2p-servers: %s\n", error.c_str());
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    servers.stop();
    return 0;
}
