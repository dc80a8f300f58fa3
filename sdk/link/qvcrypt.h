// The device-payload cipher: AES-256 with the device family's fixed key on the first 16-byte block of a body;
// the rest travels in clear text, zero-padded to whole blocks. One shared context, created at service start.
#pragma once

#include <cstdint>

// Creates the shared context from the key; a second call changes nothing. Always 0.
int qv_crypt_init();

// Frees the shared context; encrypt and decrypt fail with QV_ERR_FAILED until the next init. Always 0.
int qv_crypt_release();

// Pads the input with zero bytes to a multiple of 16 (16 -> 16, 17 -> 32) and enciphers the first block.
// *out is a new buffer (free() it) of *out_len bytes plus a terminating zero. 0; QV_ERR_FAILED when the
// cipher is not initialised or memory runs out, QV_ERR_ARG when an argument is bad (*out untouched).
int qv_crypt_encrypt(const void *in, int32_t in_len, char **out, int32_t *out_len);

// Deciphers the first block of a copy of the input; *out_len is in_len and *out holds one terminating zero
// more. The input must be a whole, non-zero number of 16-byte blocks, as every enciphered body is. 0;
// QV_ERR_FAILED when the cipher is not initialised or memory runs out, QV_ERR_ARG when the input is refused
// (*out untouched).
int qv_crypt_decrypt(const void *in, int32_t in_len, char **out, int32_t *out_len);
