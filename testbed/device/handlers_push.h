// Reverse push (174): the device holds each 174 reply open as a chunked stream and sends what the script of
// the request's session token says, step by step; with nothing scripted it sends an empty keep-alive chunk
// now and then. Tests append steps while the device runs.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "device.h"

namespace qvemu {

struct PushStep {
    enum class Kind {
        Data,      // one chunk: `text` is its "data" JSON text, wrapped in a 174 envelope
        Raw,       // one chunk of exactly `text` (not JSON, say)
        EndRound,  // the last chunk: the 174 exchange ends and the connection waits for the next request
        Stall,     // `ms` of silence, no keep-alive either
        Close,     // the device closes the connection in the middle of the round
    };
    Kind kind = Kind::Data;
    std::string text;
    int ms = 0;

    // A chunk whose "data" holds "status" and, when given, the three pushed texts (each JSON-escaped).
    static PushStep chunk(int status, const std::optional<std::string> &usb_value,
                          const std::optional<std::string> &userdb_value = std::nullopt,
                          const std::optional<std::string> &recentdb_value = std::nullopt);
    static PushStep raw(std::string bytes) { return {Kind::Raw, std::move(bytes), 0}; }
    static PushStep end_round() { return {Kind::EndRound, "", 0}; }
    static PushStep stall(int ms) { return {Kind::Stall, "", ms}; }
    static PushStep close() { return {Kind::Close, "", 0}; }
};

// What the device did for one token.
struct PushCounts {
    uint64_t exchanges = 0;     // 174 requests received
    uint64_t chunks = 0;        // scripted chunks sent (Data and Raw)
    uint64_t keepalives = 0;    // empty chunks sent for lack of a scripted one
    uint64_t rounds_ended = 0;  // EndRound steps sent
    uint64_t client_left = 0;   // rounds that ended because the client closed the connection
    uint64_t closed = 0;        // Close steps done
};

// The scripts; thread-safe.
class PushModel {
  public:
    // Appends a step to the token's script; a round waiting for one sends it at once.
    void push(int64_t token, PushStep step);
    // Silence after which an empty keep-alive chunk goes out (default 5000 ms; 0: never).
    void set_keepalive_ms(int ms);
    int keepalive_ms() const;
    PushCounts counts(int64_t token) const;
    // Steps of the token's script not taken yet.
    size_t pending(int64_t token) const;
    // Rounds in progress now (a 174 reply held open), over every token.
    int open_rounds() const;

    // For the handler: the next step of the token's script, waiting up to `ms`; none when nothing came.
    std::optional<PushStep> take(int64_t token, int ms);
    template <class F>
    void count(int64_t token, F &&f) {
        std::lock_guard lk(mu_);
        f(counts_[token]);
    }
    void round_open(int delta);

  private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::map<int64_t, std::deque<PushStep>> scripts_;
    std::map<int64_t, PushCounts> counts_;
    int keepalive_ms_ = 5000;
    int open_rounds_ = 0;
};

// Installs the 174 handler over `model` (a new one when null) and returns it.
std::shared_ptr<PushModel> install_push_handler(Device &device, std::shared_ptr<PushModel> model = nullptr);

}  // namespace qvemu
