// qv-linkemu: wire mode as a program. Splices the emulator between two interfaces of the namespace it runs
// in (ip netns exec NS qv-linkemu --a IF --b IF ...), or with --netns builds its own three namespaces
// (a 10.77.0.1, emu, b 10.77.0.2) and splices itself between them. Prints the seed and the profiles at the
// start, the counters every --stats seconds and at the end (SIGINT or SIGTERM), and writes the decision log
// to --log.
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "linkemu_wire.h"

namespace {

volatile sig_atomic_t g_stop = 0;
void onSignal(int) {
    g_stop = 1;
}

int usage() {
    fprintf(stderr,
            "usage: qv-linkemu (--a IF --b IF | --netns) [--seed N] [--both PROFILE] [--ab PROFILE]\n"
            "                  [--ba PROFILE] [--log FILE] [--stats SECONDS]\n"
            "PROFILE: delay=10ms,jitter=2ms,jitter-reorders=0,loss=1%%,burst=4,burst-every=0.5%%,\n"
            "         burst-loss=100%%,reorder=1%%,reorder-by=25ms,dup=0.5%%,rate=10mbit,queue=64kb\n");
    return 2;
}

}  // namespace

int main(int argc, char **argv) {
    std::string ifA, ifB, logPath, err;
    uint64_t seed = 1;
    bool ownNetns = false;
    int statsEvery = 0;
    linkemu::Profile ab, ba;
    for (int i = 1; i < argc; ++i) {
        std::string k = argv[i];
        auto val = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (k == "--a") {
            ifA = val();
        } else if (k == "--b") {
            ifB = val();
        } else if (k == "--netns") {
            ownNetns = true;
        } else if (k == "--seed") {
            seed = strtoull(val().c_str(), nullptr, 10);
        } else if (k == "--both" || k == "--ab" || k == "--ba") {
            linkemu::Profile p;
            if (!linkemu::parseProfile(val(), &p, &err)) {
                fprintf(stderr, "qv-linkemu: %s: %s\n", k.c_str(), err.c_str());
                return 2;
            }
            if (k != "--ba") ab = p;
            if (k != "--ab") ba = p;
        } else if (k == "--log") {
            logPath = val();
        } else if (k == "--stats") {
            statsEvery = atoi(val().c_str());
        } else {
            return usage();
        }
    }
    if (!ownNetns && (ifA.empty() || ifB.empty())) return usage();

    std::unique_ptr<linkemu::WireNetns> net;
    std::unique_ptr<linkemu::Wire> wire;
    if (ownNetns) {
        net = linkemu::WireNetns::make(&err);
        if (net) wire = net->splice(seed, ab, ba, &err);
    } else {
        int fa = linkemu::openPacketSocket(ifA, &err);
        int fb = fa >= 0 ? linkemu::openPacketSocket(ifB, &err) : -1;
        if (fa >= 0 && fb >= 0)
            wire = std::make_unique<linkemu::Wire>(fa, fb, seed, ab, ba);
        else if (fa >= 0)
            close(fa);
    }
    if (!wire) {
        fprintf(stderr, "qv-linkemu: %s\n", err.c_str());
        return 1;
    }
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    printf("%s\n", wire->banner().c_str());
    if (net) {
        printf("namespaces: %s (%s on a0), %s, %s (%s on b0)\n", net->name('a').c_str(),
               linkemu::WireNetns::kAddrA, net->name('e').c_str(), net->name('b').c_str(),
               linkemu::WireNetns::kAddrB);
    }
    fflush(stdout);
    for (int t = 1; !g_stop; ++t) {
        sleep(1);
        if (statsEvery > 0 && t % statsEvery == 0) {
            printf("a>b: %s\nb>a: %s\n", linkemu::describe(wire->counters(0)).c_str(),
                   linkemu::describe(wire->counters(1)).c_str());
            fflush(stdout);
        }
    }
    printf("a>b: %s\nb>a: %s\narp passed %llu, send errors %llu\n",
           linkemu::describe(wire->counters(0)).c_str(), linkemu::describe(wire->counters(1)).c_str(),
           (unsigned long long)wire->arpPassed(), (unsigned long long)wire->sendErrors());
    if (!logPath.empty()) {
        if (FILE *f = fopen(logPath.c_str(), "w")) {
            wire->writeLog(f);
            fclose(f);
        }
    }
    return 0;
}
