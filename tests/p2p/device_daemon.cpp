// p2p-device-daemon: the SDK's device side in a process of its own (one library per process). It takes its
// UID, listens on the LAN, accepts every session and echoes what arrives on channels 0 and 31 (channel 0
// only with --one-channel); the text "CLOSE" makes it close the session. With --register 1 it also
// registers the UID with the servers and waits for their answer (status 3) before it says it is ready.
// Prints "ready <main port> <lan port>" (and " registered" with --register) once it listens; runs until
// SIGTERM or SIGINT.
// With --stream MODE each accepted session instead gets a reliable stream on channel 0 (RSC_Create with
// 30 s): "echo" writes back what it reads, "sink" reads and drops, "source" reads an 8-byte big-endian
// count and then sends that many bytes of the test pattern (stream_pattern.h). The stream is closed
// gracefully once the peer's end of data arrives, after a line "stream closed RC: sent N again N acks N"
// (the read result that ended it, data packets sent and sent again, acknowledgements sent).
//   p2p-device-daemon --uid UID [--lan-port P] [--timeout S] [--one-channel 1] [--register 1]
//                     [--stream echo|sink|source] [--tunnel 1 [--auth-result N]]
// With --tunnel 1 it runs the tunnel's device side instead (registering with the servers): clients that
// authenticate reach the services on this namespace's 127.0.0.1; the authentication callback answers
// --auth-result N (default 0: accepted; negative: refused with that result).
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "p2p/psl_channels.h"
#include "p2p/psl_device.h"
#include "p2p/psl_register.h"
#include "p2p/rsc_api.h"
#include "p2p/tnl_api.h"
#include "stream_pattern.h"

namespace {

// Read by the echo threads too: a lock-free atomic, which a signal handler may also set.
std::atomic<bool> g_stop{false};
void on_signal(int) {
    g_stop = true;
}

void echo(int sid, int channel) {
    std::vector<uint8_t> buf(PSL_DATA_MAX);
    while (!g_stop) {
        const int n = PSL_Session_Read(sid, buf.data(), (int)buf.size(), 200, channel);
        if (n == PSL_ERR_TIMEOUT) continue;
        if (n < 0) return;
        if (n == 5 && memcmp(buf.data(), "CLOSE", 5) == 0) {
            PSL_Session_Close(sid);
            return;
        }
        PSL_Session_Write(sid, buf.data(), (uint32_t)n, channel);
    }
}

// The stream mode of one session: open channel 0, serve it, close it.
void serveStream(int sid, const std::string &mode) {
    const int id = RSC_Create(sid, 30000, 0);
    if (id < 0) {
        fprintf(stderr, "p2p-device-daemon: RSC_Create: %d\n", id);
        return;
    }
    std::vector<uint8_t> buf(1 << 16);
    int rc = 0;
    uint8_t count[8];
    size_t have = 0;
    while (!g_stop) {
        const int n = RSC_Read(id, buf.data(), (int)buf.size(), 200);
        if (n == RSC_ERR_TIMEOUT) continue;
        if (n < 0) {
            rc = n;
            break;
        }
        if (mode == "echo") {
            if (RSC_Write(id, buf.data(), n) != n || RSC_Flush(id) != 0) break;
        } else if (mode == "source" && have < sizeof count) {
            for (int k = 0; k < n && have < sizeof count; ++k) count[have++] = buf[(size_t)k];
            if (have < sizeof count) continue;
            uint64_t left = 0;
            for (uint8_t b : count) left = left << 8 | b;
            for (uint64_t off = 0; left > 0 && !g_stop;) {
                const size_t k = (size_t)std::min<uint64_t>(left, buf.size());
                qvtest::fillPattern(off, buf.data(), k);
                if (RSC_Write(id, buf.data(), (int)k) != (int)k) break;
                off += k;
                left -= k;
            }
            RSC_Flush(id);
        }
    }
    RSCTestCounters k{};
    rsc_Test_Counters(id, &k);
    printf("stream closed %d: sent %llu again %llu acks %llu\n", rc, (unsigned long long)k.dataSent,
           (unsigned long long)k.retransmitted, (unsigned long long)k.acksSent);
    fflush(stdout);
    if (rc == RSC_ERR_END_OF_DATA)
        RSC_Destroy(id);
    else
        RSC_Abort(id);
}

// After a registration: 0 once a server answered the login (status 3), else the last error (or -13).
int waitLoggedIn() {
    PSLStatusSummary s{};
    for (int waited = 0; waited < 20000 && !g_stop; waited += 50) {
        PSL_Get_Status_Summary(&s);
        if (s.status == 3) return 0;
        usleep(50000);
    }
    return s.error ? s.error : PSL_ERR_TIMEOUT;
}

// The tunnel mode, self-contained: the device side of the tunnel until a stop signal.
int g_authResult = 0;
int judgeAuth(const TunnelServerAuthInfo *, void *) {
    return g_authResult;
}

int runTunnel(const std::string &uid, int lanPort, int timeout) {
    PSL_Set_LanSearch_Port((uint32_t)lanPort);
    int rc = PeerTunnelServer_Initialize(4);
    if (rc == 0) {
        PeerTunnelServer_SetAuthCallback(judgeAuth, nullptr);
        rc = PeerTunnelServer_Start(uid.c_str());
    }
    if (rc == 0) rc = waitLoggedIn();
    if (rc != 0) {
        fprintf(stderr, "p2p-device-daemon: tunnel start failed: %d\n", rc);
        PeerTunnelServer_Stop();
        PeerTunnelServer_DeInitialize();
        return 1;
    }
    if (timeout > 0) PSL_Set_Session_Timeout(timeout);
    printf("ready %u %d registered tunnel\n", ntohs(_PSL_MainPort()), lanPort);
    fflush(stdout);
    while (!g_stop) usleep(50000);
    PeerTunnelServer_Stop();
    PeerTunnelServer_DeInitialize();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    std::string uid;
    int lanPort = PSL_DEFAULT_LAN_PORT, timeout = 0;
    bool oneChannel = false, registerUid = false, tunnel = false;
    std::string stream;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--uid") {
            uid = argv[i + 1];
        } else if (a == "--lan-port") {
            lanPort = atoi(argv[i + 1]);
        } else if (a == "--one-channel") {
            oneChannel = atoi(argv[i + 1]) != 0;
        } else if (a == "--register") {
            registerUid = atoi(argv[i + 1]) != 0;
        } else if (a == "--stream") {
            stream = argv[i + 1];
            if (stream != "echo" && stream != "sink" && stream != "source") {
                fprintf(stderr, "p2p-device-daemon: unknown stream mode %s\n", argv[i + 1]);
                return 2;
            }
        } else if (a == "--tunnel") {
            tunnel = atoi(argv[i + 1]) != 0;
        } else if (a == "--auth-result") {
            g_authResult = atoi(argv[i + 1]);
        } else if (a == "--timeout") {
            timeout = atoi(argv[i + 1]);
        } else {
            fprintf(stderr, "p2p-device-daemon: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    if (uid.empty()) {
        fprintf(stderr,
                "usage: p2p-device-daemon --uid UID [--lan-port P] [--timeout S] [--one-channel 1] "
                "[--register 1] [--stream echo|sink|source]\n");
        return 2;
    }
    signal(SIGTERM, on_signal);
    signal(SIGINT, on_signal);
    signal(SIGPIPE, SIG_IGN);
    if (tunnel) return runTunnel(uid, lanPort, timeout);
    PSL_Set_LanSearch_Port((uint32_t)lanPort);
    int rc = PSL_Initialize(0);
    // Registration listens on the LAN as well.
    if (rc == 0)
        rc =
            registerUid ? PSL_Device_Register(uid.c_str(), nullptr, nullptr) : PSL_Device_Listen(uid.c_str());
    if (rc == 0 && registerUid) rc = waitLoggedIn();
    if (rc == 0 && !stream.empty()) rc = RSC_Initialize() > 0 ? 0 : -1;
    if (rc != 0) {
        fprintf(stderr, "p2p-device-daemon: start failed: %d\n", rc);
        PSL_DeInitialize();
        return 1;
    }
    if (timeout > 0) PSL_Set_Session_Timeout(timeout);
    printf("ready %u %d%s\n", ntohs(_PSL_MainPort()), lanPort, registerUid ? " registered" : "");
    fflush(stdout);
    std::vector<std::thread> workers;
    while (!g_stop) {
        const int sid = PSL_Accept(200);
        if (sid < 0) continue;
        if (!stream.empty()) {
            workers.emplace_back(serveStream, sid, stream);
            continue;
        }
        workers.emplace_back(echo, sid, 0);
        if (oneChannel) continue;
        PSL_Session_Channel_ON(sid, 31);
        workers.emplace_back(echo, sid, 31);
    }
    for (std::thread &t : workers) t.join();
    if (!stream.empty()) RSC_DeInitialize();
    PSL_DeInitialize();
    return 0;
}
