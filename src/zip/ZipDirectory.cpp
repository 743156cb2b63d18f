#include "zip/ZipDirectory.h"

#include "zip/ZipExceptions.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>

namespace quill::zip {

std::uint64_t TZipHeaderInfo::CompressedSize() const {
    return NarrowCompressedSize == 0xFFFFFFFFu && Zip64 ? Zip64->CompressedSize : NarrowCompressedSize;
}
std::uint64_t TZipHeaderInfo::UncompressedSize() const {
    return NarrowUncompressedSize == 0xFFFFFFFFu && Zip64 ? Zip64->UncompressedSize : NarrowUncompressedSize;
}
std::uint64_t TZipHeaderInfo::RelativeOffset() const {
    return NarrowRelativeOffset == 0xFFFFFFFFu && Zip64 ? Zip64->RelativeOffset : NarrowRelativeOffset;
}
std::uint32_t TZipHeaderInfo::DiskStart() const {
    return NarrowDiskStart == 0xFFFF && Zip64 ? Zip64->DiskStart : NarrowDiskStart;
}

namespace {
// A size or offset needs zip64 at 0xFFFFFFFF or more.
constexpr std::uint64_t kNarrowLimit = 0xFFFFFFFFu;
} // namespace

void TZipHeaderInfo::SetCompressedSize(std::uint64_t value) {
    if (value >= kNarrowLimit) {
        if (!Zip64) Zip64 = TZip64Info{};
        Zip64->CompressedSize = value;
    }
    NarrowCompressedSize = static_cast<std::uint32_t>(std::min(value, kNarrowLimit));
}
void TZipHeaderInfo::SetUncompressedSize(std::uint64_t value) {
    if (value >= kNarrowLimit) {
        if (!Zip64) Zip64 = TZip64Info{};
        Zip64->UncompressedSize = value;
    }
    NarrowUncompressedSize = static_cast<std::uint32_t>(std::min(value, kNarrowLimit));
}
void TZipHeaderInfo::SetRelativeOffset(std::uint64_t value) {
    if (value >= kNarrowLimit) {
        if (!Zip64) Zip64 = TZip64Info{};
        Zip64->RelativeOffset = value;
    }
    NarrowRelativeOffset = static_cast<std::uint32_t>(std::min(value, kNarrowLimit));
}

std::uint32_t TEndCentral::ThisDiskNumber() const { return ThisDisk == 0xFFFF && Zip64 ? Zip64->ThisDisk : ThisDisk; }
std::uint32_t TEndCentral::StartDiskNumber() const {
    return StartDisk == 0xFFFF && Zip64 ? Zip64->StartDisk : StartDisk;
}
std::uint64_t TEndCentral::TotalEntryCount() const {
    return TotalEntries == 0xFFFF && Zip64 ? Zip64->TotalEntries : TotalEntries;
}
std::uint64_t TEndCentral::CentralDirectorySize() const {
    return CentralSize == 0xFFFFFFFFu && Zip64 ? Zip64->CentralSize : CentralSize;
}
std::uint64_t TEndCentral::CentralDirectoryOffset() const {
    return CentralOffset == 0xFFFFFFFFu && Zip64 ? Zip64->CentralOffset : CentralOffset;
}

namespace {

int CompareText(const std::string& a, const std::string& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// Largest first; never equal.
int Descending(std::uint64_t a, std::uint64_t b) { return a > b ? -1 : 1; }

int Rate(const TZipHeaderInfo& e) {
    const std::uint64_t u = e.UncompressedSize();
    if (u == 0) return 0;
    const double percent = std::nearbyint(static_cast<double>(e.CompressedSize()) * 100.0 / static_cast<double>(u));
    return static_cast<int>(std::min(100.0, percent));
}

} // namespace

int TSortedEntryList::Compare(TZipSortMode mode, const TZipHeaderInfo& a, const TZipHeaderInfo& b) {
    switch (mode) {
    case TZipSortMode::ByName: return CompareText(a.Directory + a.FileName, b.Directory + b.FileName);
    case TZipSortMode::ByFileName: return CompareText(a.FileName, b.FileName);
    case TZipSortMode::ByDirectoryName: return CompareText(a.Directory, b.Directory);
    case TZipSortMode::ByDate: return Descending(a.ModDateTime, b.ModDateTime);
    case TZipSortMode::ByCompressedSize:
        return Descending(static_cast<std::uint32_t>(a.CompressedSize()),
                          static_cast<std::uint32_t>(b.CompressedSize()));
    case TZipSortMode::ByUnCompressedSize:
        return Descending(static_cast<std::uint32_t>(a.UncompressedSize()),
                          static_cast<std::uint32_t>(b.UncompressedSize()));
    case TZipSortMode::ByRate: {
        const int ra = Rate(a), rb = Rate(b);
        return ra == rb ? 0 : (ra > rb ? -1 : 1);
    }
    case TZipSortMode::ByNone:
        if (a.DiskStart() != b.DiskStart()) return a.DiskStart() < b.DiskStart() ? -1 : 1;
        if (a.RelativeOffset() != b.RelativeOffset()) return a.RelativeOffset() < b.RelativeOffset() ? -1 : 1;
        return 0;
    }
    return 0;
}

void TSortedEntryList::Add(TZipHeaderInfo* entry) {
    // Binary search for the first item that sorts after the new one.
    std::size_t low = 0, high = m_items.size();
    bool equal = false;
    while (low < high) {
        const std::size_t mid = (low + high) / 2;
        const int c = Compare(m_mode, *m_items[mid], *entry);
        if (c == 0) equal = true;
        if (c <= 0) low = mid + 1;
        else high = mid;
    }
    if (equal && m_dupes == TDupeMode::dmError) throw EListError(text::kDuplicateObject);
    if (equal && m_dupes == TDupeMode::dmIgnore) return;
    m_items.insert(m_items.begin() + static_cast<std::ptrdiff_t>(low), entry);
    if (entry->Zip64) m_isZip64 = true;
}

TZipHeaderInfo* TSortedEntryList::operator[](std::size_t index) const {
    if (index >= m_items.size()) {
        char message[64];
        std::snprintf(message, sizeof message, text::kIndexOutOfRange, static_cast<int>(index));
        throw EListError(message);
    }
    return m_items[index];
}

bool TSortedEntryList::Contains(const TZipHeaderInfo& entry) const {
    std::size_t low = 0, high = m_items.size();
    while (low < high) {
        const std::size_t mid = (low + high) / 2;
        const int c = Compare(m_mode, *m_items[mid], entry);
        if (c == 0) return true;
        if (c < 0) low = mid + 1;
        else high = mid;
    }
    return false;
}

void TSortedEntryList::Put(std::size_t, TZipHeaderInfo*) { throw EListError(text::kCannotPut); }

} // namespace quill::zip
