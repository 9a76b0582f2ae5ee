// Scanning text eight or sixteen bytes at a time. Each mask has the high bit
// set in the bytes of a word that match; a word mask may also flag bytes
// after the first match, so only its first flagged byte is to be trusted,
// and a scan goes on from the byte after it.
#ifndef PLUGIN_WORD_SCAN_H
#define PLUGIN_WORD_SCAN_H

#include <cstddef>
#include <cstdint>
#include <cstring>

const uint64_t k_word_ones = 0x0101010101010101ull;
const uint64_t k_word_highs = 0x8080808080808080ull;

inline uint64_t word_load(const void *p) {
    uint64_t w;
    memcpy(&w, p, 8);
    return w;
}

// Bytes of w that are 0.
inline uint64_t word_zero_bytes(uint64_t w) { return (w - k_word_ones) & ~w & k_word_highs; }

// Bytes of w equal to c.
inline uint64_t word_bytes_equal(uint64_t w, unsigned char c) { return word_zero_bytes(w ^ (k_word_ones * c)); }

// Bytes of w below n, for n up to 128.
inline uint64_t word_bytes_below(uint64_t w, unsigned char n) {
    return (w - k_word_ones * n) & ~w & k_word_highs;
}

// The position in memory of the first byte flagged in a nonzero mask.
inline size_t word_first(uint64_t mask) {
#if defined(__GNUC__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    return (size_t)__builtin_ctzll(mask) / 8;
#else
    unsigned char bytes[8];
    memcpy(bytes, &mask, 8);
    size_t i = 0;
    while (!(bytes[i] & 0x80)) i++;
    return i;
#endif
}

// Sixteen bytes as one vector, compared lane by lane; GCC and Clang lower
// it to the target's vector instructions, or to words where there are none.
typedef unsigned char byte_block __attribute__((vector_size(16)));

inline byte_block block_load(const void *p) {
    byte_block b;
    memcpy(&b, p, 16);
    return b;
}

// The position in memory of the first byte set in a block whose lanes are
// 0 or 0xff; 16 when none is.
inline size_t block_first(byte_block mask) {
    uint64_t lo, hi;
    memcpy(&lo, &mask, 8);
    memcpy(&hi, reinterpret_cast<const char *>(&mask) + 8, 8);
    if (lo) return word_first(lo);
    return hi ? 8 + word_first(hi) : 16;
}

#endif
