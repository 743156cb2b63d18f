#include "zip/LegacyDecoders.h"

#include <algorithm>
#include <array>
#include <map>

namespace quill::zip {
namespace {

// Bits in the order the old methods store them: least significant first.
class BitReader {
public:
    explicit BitReader(LegacyIo& io) : m_io(io) {}
    // -1 when the input ends.
    int Bits(int count) {
        while (m_count < count) {
            const int byte = m_io.NextByte();
            if (byte < 0) return -1;
            m_buffer |= static_cast<std::uint32_t>(byte) << m_count;
            m_count += 8;
        }
        const int value = static_cast<int>(m_buffer & ((1u << count) - 1));
        m_buffer >>= count;
        m_count -= count;
        return value;
    }

private:
    LegacyIo& m_io;
    std::uint32_t m_buffer = 0;
    int m_count = 0;
};

// Decoded output with the history that back references copy from, handed out in
// chunks. Bytes before the start of the output read as zeros.
class Output {
public:
    Output(LegacyIo& io, std::uint64_t limit) : m_io(io), m_limit(limit) { m_chunk.reserve(kChunk); }
    bool Full() const { return m_done >= m_limit; }
    void Put(unsigned char byte) {
        if (Full()) return;
        m_history[m_done & kMask] = byte;
        ++m_done;
        m_chunk.push_back(byte);
        if (m_chunk.size() == kChunk) Flush();
    }
    void Copy(std::uint32_t distance, std::uint32_t length) {
        for (std::uint32_t i = 0; i < length && !Full(); ++i)
            Put(distance > m_done ? 0 : m_history[(m_done - distance) & kMask]);
    }
    void Flush() {
        if (m_chunk.empty()) return;
        m_io.Put(m_chunk.data(), m_chunk.size());
        m_chunk.clear();
    }

private:
    static constexpr std::size_t kChunk = 32768;
    static constexpr std::uint64_t kMask = 16383; // larger than every window of these methods
    LegacyIo& m_io;
    std::uint64_t m_limit;
    std::uint64_t m_done = 0;
    std::array<unsigned char, 16384> m_history{};
    std::vector<unsigned char> m_chunk;
};

void UnshrinkInto(LegacyIo& io, Output& out) {
    constexpr int kCodes = 8192, kFirstFree = 257, kControl = 256;
    std::vector<int> prefix(kCodes, -1);
    std::vector<unsigned char> suffix(kCodes, 0);
    std::vector<bool> used(kCodes, false);
    for (int c = 0; c < 256; ++c) {
        used[static_cast<std::size_t>(c)] = true;
        suffix[static_cast<std::size_t>(c)] = static_cast<unsigned char>(c);
    }
    auto nextFreeFrom = [&used](int from) {
        while (from < kCodes && used[static_cast<std::size_t>(from)]) ++from;
        return from;
    };
    BitReader bits(io);
    int codeSize = 9;
    int nextFree = kFirstFree;
    int old = bits.Bits(codeSize);
    if (old < 0 || old >= 256) return;
    out.Put(static_cast<unsigned char>(old));
    unsigned char firstChar = static_cast<unsigned char>(old);
    std::vector<unsigned char> stack;
    stack.reserve(kCodes);
    while (!out.Full()) {
        int code = bits.Bits(codeSize);
        if (code < 0) return;
        if (code == kControl) {
            const int control = bits.Bits(codeSize);
            if (control == 1) {
                if (codeSize < 13) ++codeSize;
            } else if (control == 2) {
                // Partial clearing: every code that is no other code's prefix becomes free.
                std::vector<bool> isPrefix(kCodes, false);
                for (int c = kFirstFree; c < kCodes; ++c)
                    if (used[static_cast<std::size_t>(c)] && prefix[static_cast<std::size_t>(c)] >= kFirstFree)
                        isPrefix[static_cast<std::size_t>(prefix[static_cast<std::size_t>(c)])] = true;
                for (int c = kFirstFree; c < kCodes; ++c)
                    if (!isPrefix[static_cast<std::size_t>(c)]) used[static_cast<std::size_t>(c)] = false;
                nextFree = nextFreeFrom(kFirstFree);
            } else {
                return;
            }
            continue;
        }
        const int incoming = code;
        stack.clear();
        if (!used[static_cast<std::size_t>(code)]) {
            // A code defined by this very step: the previous string and its first byte.
            if (code != nextFree) return;
            stack.push_back(firstChar);
            code = old;
        }
        while (code >= kFirstFree) {
            if (!used[static_cast<std::size_t>(code)] || stack.size() >= static_cast<std::size_t>(kCodes)) return;
            stack.push_back(suffix[static_cast<std::size_t>(code)]);
            code = prefix[static_cast<std::size_t>(code)];
            if (code < 0) return;
        }
        if (code == kControl) return;
        stack.push_back(static_cast<unsigned char>(code));
        firstChar = stack.back();
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) out.Put(*it);
        if (nextFree < kCodes) {
            prefix[static_cast<std::size_t>(nextFree)] = old;
            suffix[static_cast<std::size_t>(nextFree)] = firstChar;
            used[static_cast<std::size_t>(nextFree)] = true;
            nextFree = nextFreeFrom(nextFree + 1);
        }
        old = incoming;
    }
}

void UnreduceInto(LegacyIo& io, int factor, Output& out) {
    if (factor < 1 || factor > 4) return;
    BitReader bits(io);
    std::array<std::vector<unsigned char>, 256> followers;
    for (int j = 255; j >= 0; --j) {
        const int count = bits.Bits(6);
        if (count < 0) return;
        for (int i = 0; i < count; ++i) {
            const int c = bits.Bits(8);
            if (c < 0) return;
            followers[static_cast<std::size_t>(j)].push_back(static_cast<unsigned char>(c));
        }
    }
    // Bits that index a follower set of n entries.
    auto indexBits = [](std::size_t n) {
        int b = 1;
        while ((std::size_t{1} << b) < n) ++b;
        return b;
    };
    const int lengthMask = (1 << (8 - factor)) - 1;
    int state = 0, length = 0, value = 0;
    unsigned char last = 0;
    while (!out.Full()) {
        int c;
        const auto& set = followers[last];
        if (set.empty()) {
            c = bits.Bits(8);
        } else {
            const int flag = bits.Bits(1);
            if (flag < 0) return;
            if (flag == 1) {
                c = bits.Bits(8);
            } else {
                const int index = bits.Bits(indexBits(set.size()));
                if (index < 0 || static_cast<std::size_t>(index) >= set.size()) return;
                c = set[static_cast<std::size_t>(index)];
            }
        }
        if (c < 0) return;
        last = static_cast<unsigned char>(c);
        switch (state) {
        case 0:
            if (c != 144) out.Put(static_cast<unsigned char>(c));
            else state = 1;
            break;
        case 1:
            if (c != 0) {
                value = c;
                length = c & lengthMask;
                state = length == lengthMask ? 2 : 3;
            } else {
                out.Put(144);
                state = 0;
            }
            break;
        case 2:
            length += c;
            state = 3;
            break;
        case 3: {
            const std::uint32_t distance = static_cast<std::uint32_t>(((value >> (8 - factor)) << 8) + c + 1);
            out.Copy(distance, static_cast<std::uint32_t>(length + 3));
            state = 0;
            break;
        }
        }
    }
}

// A Shannon-Fano tree of the imploding method: (length, code) -> symbol, with the code
// read most significant bit first.
class ShannonFanoTree {
public:
    // Reads the tree's description: a byte giving the number of bytes that follow less
    // one, each byte holding a bit length less one (low half) and a count less one.
    bool Read(LegacyIo& io, int symbols) {
        const int bytes = io.NextByte();
        if (bytes < 0) return false;
        std::vector<int> lengths;
        for (int i = 0; i <= bytes; ++i) {
            const int b = io.NextByte();
            if (b < 0) return false;
            const int length = (b & 0x0F) + 1, count = (b >> 4) + 1;
            for (int k = 0; k < count; ++k) lengths.push_back(length);
        }
        if (static_cast<int>(lengths.size()) != symbols) return false;
        // Shortest codes first, ties by symbol; codes are given from the longest up.
        std::vector<int> order(static_cast<std::size_t>(symbols));
        for (int i = 0; i < symbols; ++i) order[static_cast<std::size_t>(i)] = i;
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
            return lengths[static_cast<std::size_t>(a)] < lengths[static_cast<std::size_t>(b)];
        });
        std::uint32_t code = 0, increment = 0;
        int lastLength = 0;
        for (int i = symbols - 1; i >= 0; --i) {
            const int symbol = order[static_cast<std::size_t>(i)];
            const int length = lengths[static_cast<std::size_t>(symbol)];
            code += increment;
            if (length != lastLength) {
                lastLength = length;
                increment = 1u << (16 - length);
            }
            m_codes[{length, (code & 0xFFFF) >> (16 - length)}] = symbol;
        }
        return true;
    }

    // -1 on the end of input or a code that is not in the tree.
    int Decode(BitReader& bits) const {
        std::uint32_t code = 0;
        for (int length = 1; length <= 16; ++length) {
            const int bit = bits.Bits(1);
            if (bit < 0) return -1;
            code = code << 1 | static_cast<std::uint32_t>(bit);
            const auto it = m_codes.find({length, code});
            if (it != m_codes.end()) return it->second;
        }
        return -1;
    }

private:
    std::map<std::pair<int, std::uint32_t>, int> m_codes;
};

void ExplodeInto(LegacyIo& io, std::uint16_t flags, Output& out) {
    const bool bigWindow = (flags & 0x02) != 0;
    const bool literalTree = (flags & 0x04) != 0;
    ShannonFanoTree literals, lengths, distances;
    if (literalTree && !literals.Read(io, 256)) return;
    if (!lengths.Read(io, 64) || !distances.Read(io, 64)) return;
    const int minimumMatch = literalTree ? 3 : 2;
    const int lowDistanceBits = bigWindow ? 7 : 6;
    BitReader bits(io);
    while (!out.Full()) {
        const int flag = bits.Bits(1);
        if (flag < 0) return;
        if (flag == 1) {
            const int c = literalTree ? literals.Decode(bits) : bits.Bits(8);
            if (c < 0) return;
            out.Put(static_cast<unsigned char>(c));
            continue;
        }
        const int low = bits.Bits(lowDistanceBits);
        const int high = distances.Decode(bits);
        if (low < 0 || high < 0) return;
        const std::uint32_t distance = static_cast<std::uint32_t>((high << lowDistanceBits) | low) + 1;
        int length = lengths.Decode(bits);
        if (length < 0) return;
        if (length == 63) {
            const int more = bits.Bits(8);
            if (more < 0) return;
            length += more;
        }
        out.Copy(distance, static_cast<std::uint32_t>(length + minimumMatch));
    }
}

} // namespace

void Unshrink(LegacyIo& io, std::uint64_t uncompressedSize) {
    Output out(io, uncompressedSize);
    UnshrinkInto(io, out);
    out.Flush();
}

void Unreduce(LegacyIo& io, int factor, std::uint64_t uncompressedSize) {
    Output out(io, uncompressedSize);
    UnreduceInto(io, factor, out);
    out.Flush();
}

void Explode(LegacyIo& io, std::uint16_t flags, std::uint64_t uncompressedSize) {
    Output out(io, uncompressedSize);
    ExplodeInto(io, flags, out);
    out.Flush();
}

} // namespace quill::zip
