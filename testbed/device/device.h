// One emulated NAS device on ADDR:PORT: framed HTTP-like command exchanges and the framed-JSON fallback,
// a command handler registry, reply modes, fault switches, strict checks of what the client sends, and
// counters that tests read while the device runs.
#pragma once

#include <json-c/json.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "header_block.h"
#include "qv_config.h"
#include "wire.h"

namespace qvemu {

// How JSON replies are encoded. Per chunk when chunked: encipher first, then gzip.
struct ReplyOptions {
    bool chunked = false;  // Transfer-Encoding: chunked instead of Content-Length
    bool gzip = false;     // Content-Encoding: gzip
    bool cipher = true;    // Encrypt: aes
};

// Deliberate misbehaviour on the wire.
struct Faults {
    bool split_frame_length = false;  // send the 4 length bytes, pause, then the header block
    int split_pause_ms = 100;
    bool no_reason_phrase = false;     // status line "HTTP/1.1 200" without " OK"
    bool truncated_gzip = false;       // gzip the reply body and cut the member in half
    bool short_body = false;           // Content-Length larger than the body sent, then close
    unsigned short_body_missing = 16;  // how many announced bytes never come
    int reply_delay_ms = 0;            // wait before the reply header frame
    int64_t upload_drop_after = -1;    // >= 0: close an upload's connection after this many body bytes
    // Upload bodies read slowly: at most upload_pace_bytes at a time, each followed by a pause of
    // upload_pace_ms (0 bytes: read as they come), so that a client's cancel can land mid-body.
    size_t upload_pace_bytes = 0;
    int upload_pace_ms = 0;
};

enum class Protocol { Http, FramedJson };

// One received command, as handlers see it. Pointers are valid during the handler call only.
struct Request {
    Protocol protocol = Protocol::Http;
    const HeaderBlock *head = nullptr;  // null for framed JSON
    std::string body;                   // the raw body as received (empty for uploads: see read_body)
    std::string text;                   // the JSON envelope text (deciphered, or from Location)
    json_object *envelope = nullptr;    // parsed text
    json_object *data = nullptr;        // its "data" member, or null
    int cmd = 0;
    int64_t token = 0;
    int32_t seq = 0;
    bool keep_alive = false;           // "Connection: keep-alive" was sent
    unsigned index_on_connection = 0;  // 0 for the first request of a connection
    // An upload's data (a request whose envelope is in "Location") is not read ahead: the handler pulls
    // it straight into its file, so a large body never sits in memory. Returns the bytes read, 0 at the
    // end of the body or when the client left. Whatever the handler leaves unread is drained after it.
    std::function<size_t(char *, size_t)> read_body;
    uint64_t body_length = 0;  // the announced Content-Length
};

// A handler's answer. The device wraps each data text into an envelope echoing cmd, token and seq.
struct Reply {
    int error = 0;
    std::optional<std::string> data;  // JSON text of "data"; none: no "data" member
    std::vector<std::string> chunks;  // streamed reply: the "data" text of each chunk
    int chunk_interval_ms = 0;        // pause between chunks
    // Streamed reply produced as it goes: each call does one step of the work and gives that chunk's
    // "data" text, none at the end. Steps stop when the client leaves (after `chunks`, if any).
    std::function<std::optional<std::string>()> next_chunk;
    std::optional<std::string> raw_text;  // send this text instead of the built envelope
    std::optional<ReplyOptions> options;  // overrides the device's reply options
    bool close_after = false;             // close the connection after the reply
    // File data instead of JSON: "Content-Type: text/plain", "Content-Range: bytes <offset>-<offset+size>",
    // then the raw bytes (never encoded), then the connection is closed (an open-stream read).
    std::optional<std::string> file_data;
    uint64_t file_offset = 0;
    // Writes the whole reply itself (HTTP: header frame and body; framed JSON: its frames); returns whether
    // the connection stays open.
    std::function<bool(int fd)> raw_writer;
};

class Device;
using Handler = std::function<Reply(Device &, const Request &)>;

// A client deviation seen in strict mode, with the offending request kept for the test log.
struct Violation {
    std::string what;
    std::string request;
};

struct Counters {
    uint64_t connections_accepted = 0;
    uint64_t connections_open = 0;
    uint64_t connections_peak = 0;
    uint64_t closed_without_request = 0;  // connections the client closed before any request
    uint64_t pool_opens = 0;              // 175 with Connection: keep-alive
    uint64_t pool_closes = 0;             // 175 without it
    uint64_t requests_http = 0;
    uint64_t requests_framed = 0;
    uint64_t commands_answered = 0;  // replies written completely
    uint64_t unknown_commands = 0;   // no handler registered
    uint64_t request_body_bytes = 0;
    uint64_t upload_body_bytes = 0;  // raw data bytes received by upload requests (Location envelope)
    uint64_t reply_body_bytes = 0;
    uint64_t chunks_sent = 0;  // data chunks, end chunks not counted
    uint64_t max_requests_per_connection = 0;
    std::map<int, uint64_t> requests_by_cmd;
    std::map<int, uint64_t> chunks_by_cmd;
    std::map<uint64_t, uint64_t> requests_per_connection;  // requests -> finished connections
};

// A user of the device, for the user list (150).
struct DeviceUser {
    std::string nick_name;
    int user_id = 0;
    bool is_public = false;
};

class Device {
  public:
    // `root` is the folder the device serves; `address` an IPv4 text (127.0.0.2 and up); port 0 picks an
    // ephemeral port (read it with port() after start()).
    Device(std::string root, std::string address, uint16_t port = QV_DEVICE_PORT);
    ~Device();
    Device(const Device &) = delete;
    Device &operator=(const Device &) = delete;

    // Binds and starts serving. False (with a message in last_error()) when the socket cannot be bound.
    bool start();
    // Stops accepting, ends every connection and joins all threads. Idempotent.
    void stop();

    uint16_t port() const { return port_; }
    const std::string &address() const { return address_; }
    const std::string &root() const { return root_; }
    std::string last_error() const;

    // Command registry: a handler per command code; a later set replaces the earlier one.
    void set_handler(int cmd, Handler handler);
    void remove_handler(int cmd);
    // Header error sent for commands without a handler (the reply still echoes cmd, token and seq).
    void set_unknown_command_error(int error);

    void set_reply_options(const ReplyOptions &options);           // default for every command
    void set_reply_options(int cmd, const ReplyOptions &options);  // for one command
    void set_faults(const Faults &faults);
    Faults faults() const;

    void set_cipher_key(const CipherKey &key);
    CipherKey cipher_key() const;

    // Strict mode (on by default) records client deviations; it never changes the replies.
    void set_strict(bool on);
    std::vector<Violation> violations() const;
    void clear_violations();

    Counters counters() const;

    void set_users(std::vector<DeviceUser> users);
    std::vector<DeviceUser> users() const;

    // Sleeps up to `ms`, returning early (false) when the device stops.
    bool pause(int ms);

  private:
    struct Connection {
        int fd = -1;
        std::thread thread;
        std::atomic<bool> done{false};
    };

    void accept_loop();
    void serve(Connection *conn);
    // One exchange; false when the connection must end.
    bool serve_http(int fd, std::string &&block, unsigned index);
    bool serve_framed(int fd, std::string &&payload, unsigned index);
    Reply dispatch(Request &req);
    bool send_http_reply(int fd, const Request &req, const Reply &reply);
    std::string envelope(const Request &req, int error, const std::optional<std::string> &data) const;
    void check_request(const Request &req, bool deciphered, bool json_ok);
    void violation(std::string what, const std::string &request);
    void reap(bool all);

    const std::string root_;
    const std::string address_;
    uint16_t port_;

    int listen_fd_ = -1;
    int wake_pipe_[2] = {-1, -1};
    std::thread acceptor_;
    std::atomic<bool> stopping_{false};
    bool started_ = false;

    mutable std::mutex conns_mu_;
    std::list<std::unique_ptr<Connection>> conns_;

    mutable std::mutex mu_;  // configuration, state, counters, violations
    std::condition_variable stop_cv_;
    std::map<int, Handler> handlers_;
    int unknown_error_ = 10001;
    ReplyOptions default_options_;
    std::map<int, ReplyOptions> cmd_options_;
    Faults faults_;
    CipherKey key_;
    bool strict_ = true;
    std::vector<Violation> violations_;
    Counters counters_;
    std::vector<DeviceUser> users_;
    std::string last_error_;
};

// Serves command 106 as an open-stream read: the file "path" under the root from "offset" on, then closes.
void install_open_stream_handler(Device &device);

struct DownloadScript;
// Serves command 106 as a ranged download of the file "path" under the root (Content-Length for the whole
// file, Content-Range for a resume), paced and with the faults of `script`; see handlers_download.h.
void install_download_handler(Device &device, std::shared_ptr<DownloadScript> script);

// Registers the handlers every device starts with (link and device commands).
void install_default_handlers(Device &device);

}  // namespace qvemu
