#include "support/deflate_piece.h"

namespace vantle::deflate {

std::uint32_t adler32_combine(std::uint32_t first, std::uint32_t second,
                              std::uint64_t second_length) {
    // Adler-32 is (A, B) mod 65521 with A = 1 + the sum of the bytes and B the
    // sum of A after each byte. Appending n bytes adds their A sum less the
    // extra 1, and shifts B by n times the first part's A sum less its 1.
    constexpr std::uint64_t kBase = 65521;
    const std::uint64_t a1 = first & 0xffff;
    const std::uint64_t b1 = first >> 16;
    const std::uint64_t a2 = second & 0xffff;
    const std::uint64_t b2 = second >> 16;
    const std::uint64_t a = (a1 + a2 + kBase - 1) % kBase;
    const std::uint64_t b =
        (b1 + b2 + (second_length % kBase) * ((a1 + kBase - 1) % kBase)) % kBase;
    return static_cast<std::uint32_t>(b << 16 | a);
}

}  // namespace vantle::deflate
