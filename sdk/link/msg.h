// Socket endpoints and length-framed messages of the device SDK.
//
// Every socket the SDK opens for another module is created and closed here (sock_setup.cpp); the framed
// messages are in msg.cpp; both wait, read and write through the socket-I/O core (sock_io.h). A framed
// message is a 4-byte length in host byte order (`msg_hdr`) followed by that many payload bytes; over UDP one
// datagram holds one frame. Results: descriptors or -1 from set-up calls, 0 or a byte count from the message
// calls, and the negative codes QV_ERR_SOCK_* from "base/qv_errors.h" on failure.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "base/qv_defaults.h"

// The length that precedes every framed message.
struct msg_hdr {
    uint32_t msg_len;
};

// Largest payload a TCP frame may announce; 0xA00001 and above is refused.
constexpr uint32_t QV_MSG_MAX_LEN = 0xA00000;
// Payload room of a framed UDP datagram.
constexpr uint32_t QV_UDP_MAX_LEN = 8192;
// Budget of a frame write that has to wait for socket room (non-blocking descriptors).
constexpr uint32_t QV_MSG_SEND_TIMEOUT_MS = QV_DEFAULT_TIMEOUT_MS;

// ---- Socket set-up
// ----------------------------------------------------------------------------------------------
int QV_InetServerInit(int family, uint16_t port, int type, int backlog);
int QV_UdpServerInit(int family, uint16_t port, int type, int backlog);
int QV_DomainServerInit(const char *name);
int QV_ServerAcceptClient(int listen_fd);
// `ip_out` holds 16 bytes; a null buffer closes the accepted connection and gives -1.
int QV_ServerAcceptGetIp(int listen_fd, char *ip_out);
// The client connects below set TCP_NODELAY on stream sockets (as does the accept of QV_ServerAcceptGetIp):
// a request goes out as a header frame and a body, and the second write must not wait for a delayed ACK.
// Blocking connect; the descriptor is returned in blocking mode.
int QV_InetClientInit(int family, uint16_t port, int type, const char *ip);
// Non-blocking connect bounded by `timeout_ms` (<= 0 means QV_DEFAULT_TIMEOUT_MS); the descriptor stays
// non-blocking. A refused or failed connect gives -1.
int QV_InetClientTimeOutInit(int family, uint16_t port, int type, const char *ip, int32_t timeout_ms);
// Fill `addr` with the destination; an address text that is not an IPv4 address gives -1.
int QV_UdpClientInit(int family, uint16_t port, int type, const char *ip, struct sockaddr_in *addr);
// As QV_UdpClientInit with SO_BROADCAST; "0.0.0.0" means 255.255.255.255.
int QV_UdpBroadcastClientInit(int family, uint16_t port, int type, const char *ip, struct sockaddr_in *addr);
int QV_SockClose(int fd);
int QV_UdpClose(int fd);

int set_socket_keepalive(int fd);
// Nagle off: every write leaves at once. 0, or QV_ERR_FAILED when the option cannot be set (not a TCP
// socket).
int set_tcp_nodelay(int fd);
int set_non_blocking_mode(int fd);
int set_blocking_mode(int fd);

// Waits in milliseconds; 0 waits without limit. 0 when ready, QV_ERR_SOCK_TIMEOUT on expiry or failure.
int wait_socket_readable(int fd, uint32_t timeout_ms);
int wait_socket_writable(int fd, uint32_t timeout_ms);
// One readability check; 0 ms returns at once. 1 ready, 0 not ready, -1 failure.
int poll_socket_readable(int fd, uint32_t timeout_ms);
int touch_local_port(uint16_t port);

// ---- Framed messages
// -------------------------------------------------------------------------------------------- Writes one
// whole frame. Partial writes are continued; on a non-blocking descriptor the writer waits for room for at
// most QV_MSG_SEND_TIMEOUT_MS in all (QV_ERR_SOCK_TIMEOUT after that).
int QV_MsgSend(int fd, const void *buf, uint32_t len);
// As QV_MsgSend with an explicit budget in ms for the whole frame (0: without limit).
int QV_MsgSendTimeout(int fd, const void *buf, uint32_t len, uint32_t timeout_ms);
// Writes with short retries on EAGAIN (100 x 100 us in a row); an incomplete frame gives QV_ERR_SOCK_IO.
int QV_MsgSend_Try(int fd, const void *buf, uint32_t len);
// As QV_MsgSend; returns the payload length on success.
int QV_FileSend(int fd, const void *buf, uint32_t len);

// Reads one frame. `*out` receives a malloc'd buffer of msg_len + 1 bytes (payload plus a zero byte; null for
// an empty payload), freed by the caller with free(). `timeout_ms` null: no wait before reads; pointing to 0:
// wait without limit; else every wait for data (header and payload) is bounded by it. Returns msg_len or a
// code.
int QV_MsgReceive(int fd, char **out, const uint32_t *timeout_ms);
// As QV_MsgReceive, but a payload read that keeps failing with EAGAIN (100 x 100 us) ends early with the
// count read so far and the partly filled buffer.
int QV_MsgReceive_Try(int fd, char **out, const uint32_t *timeout_ms);

int QV_UdpSend(int fd, const void *buf, uint32_t len, const struct sockaddr_in *to);
// Receives one framed datagram (at most 4 + 8192 bytes). Returns the datagram size (header included); `*out`
// as for QV_MsgReceive (a zero-filled buffer of msg_len + 1 bytes); `from` may be null.
int QV_UdpReceive(int fd, char **out, const uint32_t *timeout_ms, struct sockaddr_in *from);

// Hex dump of a message to standard output; direction 1 received ("Rx"), 2 sent ("Tx").
void QV_MsgPrintf(const void *msg, const char *label, uint32_t len, int direction);
// Formats a local time as "%04d/%02d/%02d %02d:%02d:%02d".
void format_local_time(time_t t, char *out, size_t out_size);
