// qv-device-emu --root DIR --addr 127.0.0.N [--port P]: serves one emulated device until SIGINT or SIGTERM.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "device.h"
#include "handlers_download.h"

namespace {
int usage() {
    std::fprintf(stderr, "usage: qv-device-emu --root DIR --addr 127.0.0.N [--port P]\n");
    return 2;
}
}  // namespace

int main(int argc, char **argv) {
    std::string root, addr;
    long port = QV_DEVICE_PORT;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        if (a == "--root") {
            root = argv[++i];
        } else if (a == "--addr") {
            addr = argv[++i];
        } else if (a == "--port") {
            char *end = nullptr;
            port = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || port < 0 || port > 65535) return usage();
        } else {
            return usage();
        }
    }
    if (root.empty() || addr.empty()) return usage();

    // Block the stop signals before any thread starts, then wait for one here.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    qvemu::Device device(root, addr, static_cast<uint16_t>(port));
    // Downloads (106) straight from the folder, without pacing or faults.
    qvemu::install_download_handler(device, std::make_shared<qvemu::DownloadScript>());
    if (!device.start()) {
        std::fprintf(stderr, "qv-device-emu: %s:%ld: %s\n", addr.c_str(), port, device.last_error().c_str());
        return 1;
    }
    std::printf("qv-device-emu: serving %s on %s:%u\n", root.c_str(), addr.c_str(), device.port());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    device.stop();
    auto c = device.counters();
    std::printf(
        "qv-device-emu: stopped by signal %d; %llu connections, %llu commands answered, %zu violations\n",
        sig, static_cast<unsigned long long>(c.connections_accepted),
        static_cast<unsigned long long>(c.commands_answered), device.violations().size());
    for (const auto &v : device.violations()) std::printf("  violation: %s\n", v.what.c_str());
    return 0;
}
