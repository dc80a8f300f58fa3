// The emulator's own wire helpers: socket I/O, 4-byte framing, the block-0 payload cipher, gzip and chunks.
// Written from the device's side on purpose; nothing here is shared with the client.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qvemu {

// The client refuses frames of this length or more.
inline constexpr uint32_t kFrameLimit = 0xA00001;

// Writes everything (MSG_NOSIGNAL, EINTR retried). False on any failure, EPIPE and resets included.
bool send_all(int fd, const void *data, size_t size);
inline bool send_all(int fd, std::string_view s) {
    return send_all(fd, s.data(), s.size());
}

// Sends `size` bytes of the file `file_fd` from `offset` with sendfile(), as a web server does: no copy
// through user memory. SIGPIPE is held back meanwhile. False on any failure or when the file ends early.
bool send_file_range(int fd, int file_fd, int64_t offset, uint64_t size);

// Reads exactly `size` bytes. Returns the number read: `size` on success, less on EOF or error.
size_t recv_exact(int fd, void *data, size_t size);

// The 4-byte host-order length followed by the payload.
std::string frame(std::string_view payload);

using CipherKey = std::array<uint8_t, 32>;

// The build's shared key, QV_CIPHER_KEY.
CipherKey build_cipher_key();

// Pads with zeros to a multiple of 16 (empty input gives 16 zero bytes) and encrypts block 0 with AES-256.
std::string encipher(std::string_view plain, const CipherKey &key);

// Decrypts block 0 in place; false when the body is shorter than 16 bytes or the cipher fails.
bool decipher(std::string &body, const CipherKey &key);

// The text up to the first NUL (the zero padding of a deciphered body).
std::string_view until_nul(std::string_view s);

// One complete gzip member (zlib's gzip mode).
std::string gzip_member(std::string_view data);

// One chunk of a chunked body: minimal lower-case hex size, CRLF, data, CRLF.
std::string chunk(std::string_view data);
inline constexpr std::string_view kLastChunk = "0\r\n\r\n";

}  // namespace qvemu
