// qv-device-emu --root DIR --addr A [--port P] [identity and discovery options]: serves one emulated device
// until SIGINT or SIGTERM.
//   --device-id ID, --bind-code BC   the identity the device-user commands report
//   --auth-code CODE                 a code the device login accepts (repeatable)
//   --log TYPE=FILE                  what the log download (168) of that type sends
//   --discovery GATEWAY --lan-ip IP  answer LAN discovery: searches on GATEWAY:27212 (the broadcast address
//                                    the client searches on), the device's own answers from IP:27212
//   --name NAME, --p2p-uid UID       what discovery reports besides
// On the stop it prints the commands received ("commands: 2=1 12=1 ...") and every strict-check violation.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "device.h"
#include "discovery.h"
#include "handlers_admin.h"
#include "handlers_device_user.h"
#include "handlers_download.h"

namespace {
int usage() {
    std::fprintf(stderr,
                 "usage: qv-device-emu --root DIR --addr A [--port P] [--device-id ID] [--bind-code BC] "
                 "[--auth-code CODE]... [--log TYPE=FILE]... [--discovery GATEWAY --lan-ip IP] [--name NAME] "
                 "[--p2p-uid UID]\n");
    return 2;
}
}  // namespace

int main(int argc, char **argv) {
    std::string root, addr, deviceId, bindCode, gateway, lanIp, name = "Quillet", p2pUid = "P2P-UID";
    std::vector<std::string> authCodes;
    std::vector<std::pair<int, std::string>> logs;
    long port = QV_DEVICE_PORT;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string v = argv[++i];
        if (a == "--root") {
            root = v;
        } else if (a == "--addr") {
            addr = v;
        } else if (a == "--port") {
            char *end = nullptr;
            port = std::strtol(v.c_str(), &end, 10);
            if (*end != '\0' || port < 0 || port > 65535) return usage();
        } else if (a == "--device-id") {
            deviceId = v;
        } else if (a == "--bind-code") {
            bindCode = v;
        } else if (a == "--auth-code") {
            authCodes.push_back(v);
        } else if (a == "--log") {
            const size_t eq = v.find('=');
            if (eq == std::string::npos || eq == 0) return usage();
            std::ifstream f(v.substr(eq + 1), std::ios::binary);
            if (!f) {
                std::fprintf(stderr, "qv-device-emu: cannot read %s\n", v.substr(eq + 1).c_str());
                return 1;
            }
            logs.emplace_back(std::atoi(v.substr(0, eq).c_str()),
                              std::string(std::istreambuf_iterator<char>(f), {}));
        } else if (a == "--discovery") {
            gateway = v;
        } else if (a == "--lan-ip") {
            lanIp = v;
        } else if (a == "--name") {
            name = v;
        } else if (a == "--p2p-uid") {
            p2pUid = v;
        } else {
            return usage();
        }
    }
    if (root.empty() || addr.empty() || gateway.empty() != lanIp.empty()) return usage();

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
    if (!deviceId.empty() || !bindCode.empty() || !authCodes.empty()) {
        auto users = qvemu::install_device_user_handlers(device);
        users->update([&](qvemu::DeviceUserState &s) {
            if (!deviceId.empty()) s.device_id = deviceId;
            if (!bindCode.empty()) s.bind_code = bindCode;
            s.auth_codes.insert(authCodes.begin(), authCodes.end());
        });
    }
    if (!logs.empty()) {
        auto admin = qvemu::install_admin_handlers(device);
        std::lock_guard lock(admin->mu);
        for (auto &[type, text] : logs) admin->logs[type] = text;
    }
    if (!device.start()) {
        std::fprintf(stderr, "qv-device-emu: %s:%ld: %s\n", addr.c_str(), port, device.last_error().c_str());
        return 1;
    }
    std::unique_ptr<emu::DiscoveryLan> lan;
    if (!gateway.empty()) {
        lan = std::make_unique<emu::DiscoveryLan>(gateway);
        emu::DiscoveryDevice d;
        d.ip = lanIp;
        d.name = name;
        d.device_id = deviceId;
        d.p2p_uuid = p2pUid;
        d.port = device.port();
        lan->add(d);
        if (!lan->start()) {
            std::fprintf(stderr, "qv-device-emu: discovery cannot bind %s or %s\n", gateway.c_str(),
                         lanIp.c_str());
            return 1;
        }
    }
    std::printf("qv-device-emu: serving %s on %s:%u\n", root.c_str(), addr.c_str(), device.port());
    std::fflush(stdout);
    int sig = 0;
    sigwait(&set, &sig);
    if (lan) lan->stop();
    device.stop();
    auto c = device.counters();
    std::printf(
        "qv-device-emu: stopped by signal %d; %llu connections, %llu commands answered, %zu violations\n",
        sig, static_cast<unsigned long long>(c.connections_accepted),
        static_cast<unsigned long long>(c.commands_answered), device.violations().size());
    std::printf("commands:");
    for (const auto &[cmd, n] : c.requests_by_cmd)
        std::printf(" %d=%llu", cmd, static_cast<unsigned long long>(n));
    std::printf("\n");
    for (const auto &v : device.violations()) std::printf("  violation: %s\n", v.what.c_str());
    std::fflush(stdout);
    return 0;
}
