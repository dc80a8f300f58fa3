// A device's firmware script: the update (163) over HTTP (chunked or whole) and over the framed socket,
// the update status (165), and what the device publishes on the broker: the update's verdict on
// "<prefix><topic>" and the progress and verdict of a running update on "<prefix>deviceStatusChanged/<id>".
// Messages are QoS 1 and not retained, so the device republishes every ~100 ms (scaled) with mosquitto_pub
// while they are due: the client may subscribe late.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device.h"

namespace qvemu {

struct FirmwareScript {
    // 163 over HTTP.
    bool http_fails = false;   // close without an answer (the client then runs the framed socket path)
    int http_error = 0;        // nonzero: answer with this header error (10285: an update already runs)
    bool whole_reply = false;  // one unstreamed reply (status, delay, version; no progress, no reserved)
    bool http_cut_after_status = false;  // send the status chunk (plain), then close mid-stream
    // 163 on either transport.
    int status = 1;  // 0: no update needed
    int delay = 10;  // seconds the device gives the client to wait for the verdict
    std::string target = "2.5.0";
    std::vector<int> progress = {20, 40, 65};
    int total = 100;
    std::vector<std::string> topics = {"ota/QVDEV0001"};  // one reserved task each; none: no reserved text
    std::optional<int> task_count;                        // "task_count"; default: the number of topics
    std::optional<std::string> reserved_json;             // the reserved text before Base64, as given
    int chunk_interval_ms = 0;                            // between progress chunks and frames (scaled)
    bool framed_bad_frame = false;  // framed: after the progress, a frame announcing 4 GiB, then silence

    // The verdict (1 success, 0 failure, other values ignored by clients), due once the 163 reply was
    // sent, on `verdict_topic` (default: the first topic).
    std::optional<int> verdict;
    std::string verdict_topic;

    // 165.
    int ota_status = 1;
    int ota_process = 30;
    std::string device_id = "QVDEV0001";
    std::string current = "2.4.0";
    int installed_after_polls = -1;  // >= 0: from that many 165s on, status 0 and the target runs

    // Follow-up, due once a 165 answered a running update: these "services" texts on the device's status
    // topic, then (once released) the verdict.
    std::vector<std::string> follow_messages;
    std::optional<int> follow_verdict;
    bool follow_release = true;

    // The broker the device publishes to (mosquitto_pub with this login).
    int broker_port = 0;
    std::string broker_user = "tester";
    std::string broker_password = "tester";
    double time_scale = 1.0;
};

struct FirmwareCounts {
    int http_163 = 0;
    int framed_163 = 0;
    int status_165 = 0;  // answered, either way
    int published = 0;
};

class FirmwareState {
  public:
    explicit FirmwareState(FirmwareScript script);
    ~FirmwareState();  // stops publishing
    FirmwareState(const FirmwareState &) = delete;
    FirmwareState &operator=(const FirmwareState &) = delete;

    // Changes the script under the state's lock.
    void update(const std::function<void(FirmwareScript &)> &change);
    FirmwareScript script() const;
    FirmwareCounts counts() const;
    // Stops the publisher (idempotent).
    void stop();

  private:
    friend void install_firmware_script(Device &, const std::shared_ptr<FirmwareState> &);
    Reply on_163(const Request &req);
    Reply on_165(const Request &req);
    void publisher();
    void publish(const std::string &topic, const std::string &services);

    mutable std::mutex mu_;
    std::condition_variable cv_;
    FirmwareScript s_;
    FirmwareCounts c_;
    bool verdict_due_ = false;
    bool follow_due_ = false;
    bool stop_ = false;
    std::thread thread_;
};

// Installs the script's 163 and 165 handlers on `device` (replacing the default 165).
void install_firmware_script(Device &device, const std::shared_ptr<FirmwareState> &state);

// A verdict payload's "services" text: {"qvmsg_update_status":{"result":n}}.
std::string verdict_services(int result);
// A follow-up progress text: {"qvmsg_update_progress":{"result":r,"process":p}}.
std::string progress_services(int result, int process);

}  // namespace qvemu
