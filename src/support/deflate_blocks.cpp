#include "support/deflate_blocks.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstring>
#include <vector>

namespace vantle::deflate {
namespace {

constexpr unsigned kMaxCodeBits = 15;
constexpr std::size_t kLengthCodes = 286;  // literal/length symbols that may appear
constexpr std::size_t kDistanceCodes = 30;
constexpr std::uint16_t kEndOfBlock = 256;

// Reads bits least significant first; reading past the end yields zeros and is
// noticed by `overran`.
class BitReader {
  public:
    explicit BitReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

    // The next `count` bits (at most 32) without consuming them.
    [[nodiscard]] std::uint32_t peek(unsigned count) const {
        const std::size_t byte = static_cast<std::size_t>(position_ >> 3);
        std::uint64_t word = 0;
        if (byte + 8 <= bytes_.size() && std::endian::native == std::endian::little) {
            std::memcpy(&word, bytes_.data() + byte, 8);
        } else {
            for (std::size_t i = 0; i < 8 && byte + i < bytes_.size(); ++i) {
                word |= std::uint64_t{bytes_[byte + i]} << (8 * i);
            }
        }
        return static_cast<std::uint32_t>(word >> (position_ & 7)) &
               static_cast<std::uint32_t>((std::uint64_t{1} << count) - 1);
    }
    void skip(std::uint64_t count) { position_ += count; }
    std::uint32_t read(unsigned count) {
        const std::uint32_t bits = peek(count);
        skip(count);
        return bits;
    }
    void align_to_byte() { position_ = (position_ + 7) & ~std::uint64_t{7}; }

    [[nodiscard]] std::uint64_t position() const { return position_; }
    [[nodiscard]] bool overran() const { return position_ > std::uint64_t{bytes_.size()} * 8; }
    [[nodiscard]] std::span<const std::uint8_t> bytes() const { return bytes_; }

  private:
    std::span<const std::uint8_t> bytes_;
    std::uint64_t position_ = 0;
};

// A canonical Huffman code as one lookup table indexed by the next `bits` input
// bits: each entry is symbol << 4 | code length, 0 where no code fits (an
// incomplete code).
class Decoder {
  public:
    // False when the lengths over-subscribe the code space.
    bool build(std::span<const std::uint8_t> lengths) {
        std::array<unsigned, kMaxCodeBits + 1> count{};
        for (const std::uint8_t length : lengths) {
            ++count[length];
        }
        count[0] = 0;
        bits_ = 1;
        int left = 1;
        for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
            left = left * 2 - static_cast<int>(count[length]);
            if (left < 0) {
                return false;
            }
            if (count[length] != 0) {
                bits_ = length;
            }
        }
        std::array<unsigned, kMaxCodeBits + 2> next{};
        for (unsigned length = 1; length <= kMaxCodeBits; ++length) {
            next[length + 1] = (next[length] + count[length]) << 1;
        }
        table_.assign(std::size_t{1} << bits_, 0);
        for (std::size_t symbol = 0; symbol < lengths.size(); ++symbol) {
            const unsigned length = lengths[symbol];
            if (length == 0) {
                continue;
            }
            const unsigned code = next[length]++;
            // Codes are sent most significant bit first, the table is read least first.
            unsigned reversed = 0;
            for (unsigned i = 0; i < length; ++i) {
                reversed |= ((code >> i) & 1) << (length - 1 - i);
            }
            const auto entry = static_cast<std::uint16_t>(symbol << 4 | length);
            for (std::size_t k = reversed; k < table_.size(); k += std::size_t{1} << length) {
                table_[k] = entry;
            }
        }
        return true;
    }

    // The next symbol, or -1 where the input matches no code.
    int decode(BitReader& in) const {
        const std::uint16_t entry = table_[in.peek(bits_)];
        if (entry == 0) {
            return -1;
        }
        in.skip(entry & 15u);
        return entry >> 4;
    }

  private:
    std::vector<std::uint16_t> table_;
    unsigned bits_ = 1;
};

unsigned length_extra_bits(int symbol) {
    const int code = symbol - 257;
    return code < 8 || code == 28 ? 0 : static_cast<unsigned>(code / 4 - 1);
}

unsigned distance_extra_bits(int code) {
    return code < 4 ? 0 : static_cast<unsigned>(code / 2 - 1);
}

bool read_dynamic_codes(BitReader& in, Decoder& literals, Decoder& distances) {
    const std::size_t literal_count = in.read(5) + 257;
    const std::size_t distance_count = in.read(5) + 1;
    const std::size_t length_code_count = in.read(4) + 4;
    if (literal_count > kLengthCodes || distance_count > kDistanceCodes) {
        return false;
    }
    static constexpr std::array<std::uint8_t, 19> kOrder = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                            11, 4,  12, 3, 13, 2, 14, 1, 15};
    std::array<std::uint8_t, 19> length_code_lengths{};
    for (std::size_t i = 0; i < length_code_count; ++i) {
        length_code_lengths[kOrder[i]] = static_cast<std::uint8_t>(in.read(3));
    }
    Decoder length_codes;
    if (!length_codes.build(length_code_lengths)) {
        return false;
    }
    std::array<std::uint8_t, kLengthCodes + kDistanceCodes> lengths{};
    const std::size_t total = literal_count + distance_count;
    for (std::size_t i = 0; i < total;) {
        const int symbol = length_codes.decode(in);
        if (symbol < 0 || in.overran()) {
            return false;
        }
        if (symbol < 16) {
            lengths[i++] = static_cast<std::uint8_t>(symbol);
            continue;
        }
        std::uint8_t value = 0;
        std::size_t repeat = 0;
        if (symbol == 16) {
            if (i == 0) {
                return false;
            }
            value = lengths[i - 1];
            repeat = 3 + in.read(2);
        } else if (symbol == 17) {
            repeat = 3 + in.read(3);
        } else {
            repeat = 11 + in.read(7);
        }
        if (repeat > total - i) {
            return false;
        }
        for (; repeat > 0; --repeat) {
            lengths[i++] = value;
        }
    }
    if (lengths[kEndOfBlock] == 0) {
        return false;
    }
    return literals.build(std::span(lengths).first(literal_count)) &&
           distances.build(std::span(lengths).subspan(literal_count, distance_count));
}

void build_fixed_codes(Decoder& literals, Decoder& distances) {
    std::array<std::uint8_t, 288> lengths{};
    for (std::size_t i = 0; i < lengths.size(); ++i) {
        lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    }
    literals.build(lengths);
    std::array<std::uint8_t, 32> distance_lengths{};
    distance_lengths.fill(5);
    distances.build(distance_lengths);
}

bool skip_symbols(BitReader& in, const Decoder& literals, const Decoder& distances) {
    for (;;) {
        const int symbol = literals.decode(in);
        if (symbol < 0 || in.overran()) {
            return false;
        }
        if (symbol < kEndOfBlock) {
            continue;
        }
        if (symbol == kEndOfBlock) {
            return true;
        }
        if (symbol > 285) {
            return false;
        }
        in.skip(length_extra_bits(symbol));
        const int distance = distances.decode(in);
        if (distance < 0 || distance >= static_cast<int>(kDistanceCodes)) {
            return false;
        }
        in.skip(distance_extra_bits(distance));
    }
}

bool skip_stored(BitReader& in) {
    in.align_to_byte();
    const std::span<const std::uint8_t> bytes = in.bytes();
    const auto at = static_cast<std::size_t>(in.position() / 8);
    if (at + 4 > bytes.size()) {
        return false;
    }
    const unsigned length = bytes[at] | unsigned{bytes[at + 1]} << 8;
    const unsigned complement = bytes[at + 2] | unsigned{bytes[at + 3]} << 8;
    if ((length ^ 0xffffu) != complement) {
        return false;
    }
    in.skip((4 + std::uint64_t{length}) * 8);
    return !in.overran();
}

}  // namespace

std::optional<StreamEnd> find_stream_end(std::span<const std::uint8_t> stream) {
    BitReader in(stream);
    Decoder literals;
    Decoder distances;
    for (;;) {
        const std::uint64_t header = in.position();
        const bool final = in.read(1) != 0;
        const std::uint32_t type = in.read(2);
        bool ok = false;
        if (type == 0) {
            ok = skip_stored(in);
        } else if (type == 1) {
            build_fixed_codes(literals, distances);
            ok = skip_symbols(in, literals, distances);
        } else if (type == 2) {
            ok = read_dynamic_codes(in, literals, distances) &&
                 skip_symbols(in, literals, distances);
        }
        if (!ok || in.overran()) {
            return std::nullopt;
        }
        if (final) {
            return StreamEnd{header, in.position()};
        }
    }
}

}  // namespace vantle::deflate
