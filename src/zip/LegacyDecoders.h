#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace quill::zip {

// Input and output of the decoders of the old compression methods. NextByte returns
// -1 at the end of the compressed data; Put takes decoded bytes. On invalid data the
// decoders stop without an error: the entry then fails its CRC check.
struct LegacyIo {
    std::function<int()> NextByte;
    std::function<void(const unsigned char* data, std::size_t length)> Put;
};

// Method 1: LZW with codes of 9 to 13 bits and partial clearing.
void Unshrink(LegacyIo& io, std::uint64_t uncompressedSize);
// Methods 2 to 5: follower sets, then length and distance expansion; factor 1 to 4.
void Unreduce(LegacyIo& io, int factor, std::uint64_t uncompressedSize);
// Method 6: Shannon-Fano trees; flag bit 1 gives an 8 KiB window, bit 2 a literal tree.
void Explode(LegacyIo& io, std::uint16_t flags, std::uint64_t uncompressedSize);

} // namespace quill::zip
