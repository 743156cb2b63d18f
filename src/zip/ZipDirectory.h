#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quill::zip {

enum class TZipSortMode {
    ByName,
    ByFileName,
    ByDirectoryName,
    ByDate,
    ByCompressedSize,
    ByUnCompressedSize,
    ByRate,
    ByNone
};
enum class TOEMConvert { oemNever, oemFlexible };
enum class TDupeMode { dmIgnore, dmAccept, dmError };

struct TZip64Info {
    std::uint64_t UncompressedSize = 0;
    std::uint64_t CompressedSize = 0;
    std::uint64_t RelativeOffset = 0;
    std::uint32_t DiskStart = 0;
};

struct TAesInfo {
    std::uint16_t VendorVersion = 0;
    std::uint16_t VendorId = 0;
    std::uint8_t KeyStrength = 0;
    std::uint16_t RealMethod = 0;
};

struct TUnicodePathInfo {
    std::uint8_t Version = 0;
    std::uint32_t NameCrc = 0;
};

// One entry of an archive's directory: its central directory header and what was
// decoded from it. The 64-bit accessors take a value from the zip64 record when the
// narrow field holds all ones.
class TZipHeaderInfo {
public:
    std::uint16_t VersionMadeBy = 0;
    std::uint16_t VersionNeeded = 20;
    std::uint16_t Flag = 0;
    std::uint16_t CompressionMethod = 8;
    std::uint32_t ModDateTime = 0; // date in the high half
    std::uint32_t CRC32 = 0;
    std::uint32_t NarrowCompressedSize = 0;
    std::uint32_t NarrowUncompressedSize = 0;
    std::uint16_t FileNameLength = 0;
    std::uint16_t ExtraFieldLength = 0;
    std::uint16_t FileCommentLength = 0;
    std::uint16_t NarrowDiskStart = 0;
    std::uint16_t InternalAttributes = 0;
    std::uint32_t ExternalAttributes = 0;
    std::uint32_t NarrowRelativeOffset = 0;
    std::uint16_t LocalExtraFieldLength = 0;

    std::string FileName;   // the file name part
    std::string Directory;  // empty, or ending in "\"
    std::string StoredName; // the name bytes as stored
    std::uint64_t HeaderPosition = 0;
    std::optional<TZip64Info> Zip64;
    std::optional<TAesInfo> Aes;
    std::uint8_t KeyStrength = 0;
    std::optional<TUnicodePathInfo> UnicodePath;
    std::string FileComment;
    bool MatchFlag = false;
    bool Selected = false;
    TOEMConvert OEMConvert = TOEMConvert::oemFlexible;
    std::uint64_t CentralExtraPosition = 0;
    std::uint16_t Zip64ExtraLength = 0;

    // An entry copied from an older archive keeps its stored name, flags and version made
    // by, and its central extra blocks without the zip64 and AES ones.
    bool CarriedOver = false;
    std::string CarriedCentralExtra;

    std::uint64_t CompressedSize() const;
    std::uint64_t UncompressedSize() const;
    std::uint64_t RelativeOffset() const;
    std::uint32_t DiskStart() const;
    // Store a value in the narrow field, or all ones there and the value in the zip64
    // record when it does not fit.
    void SetCompressedSize(std::uint64_t value);
    void SetUncompressedSize(std::uint64_t value);
    void SetRelativeOffset(std::uint64_t value);
    bool IsDirectory() const { return FileName.empty(); }
    bool IsEncrypted() const { return (Flag & 1) != 0 || CompressionMethod == 99; }
};

// The end of central directory record, with its zip64 companions.
class TEndCentral {
public:
    std::uint16_t ThisDisk = 0;
    std::uint16_t StartDisk = 0;
    std::uint16_t EntriesThisDisk = 0;
    std::uint16_t TotalEntries = 0;
    std::uint32_t CentralSize = 0;
    std::uint32_t CentralOffset = 0;
    std::uint16_t CommentLength = 0;
    std::string Comment;
    std::uint64_t CommentPosition = 0;
    bool Modified = false;

    struct Zip64End {
        std::uint64_t RecordSize = 44;
        std::uint16_t VersionMadeBy = 45;
        std::uint16_t VersionNeeded = 45;
        std::uint32_t ThisDisk = 0;
        std::uint32_t StartDisk = 0;
        std::uint64_t EntriesThisDisk = 0;
        std::uint64_t TotalEntries = 0;
        std::uint64_t CentralSize = 0;
        std::uint64_t CentralOffset = 0;
    };
    struct Zip64Locator {
        std::uint32_t EndDisk = 0;
        std::uint64_t EndOffset = 0;
        std::uint32_t TotalDisks = 1;
    };
    std::optional<Zip64End> Zip64;
    std::optional<Zip64Locator> Locator;

    std::uint32_t ThisDiskNumber() const;
    std::uint32_t StartDiskNumber() const;
    std::uint64_t TotalEntryCount() const;
    std::uint64_t CentralDirectorySize() const;
    std::uint64_t CentralDirectoryOffset() const;
};

// A list of entries kept in the order of a sort mode, inserted by binary search.
class TSortedEntryList {
public:
    TSortedEntryList(TZipSortMode mode, TDupeMode dupes) : m_mode(mode), m_dupes(dupes) {}

    // Adds an entry in order; an equal one raises "Duplicate Object index" under the
    // error policy and is dropped under the ignore policy.
    void Add(TZipHeaderInfo* entry);
    TZipHeaderInfo* operator[](std::size_t index) const; // raises "Index %d is out of range"
    std::size_t size() const { return m_items.size(); }
    bool empty() const { return m_items.empty(); }
    void clear() { m_items.clear(); }
    TZipSortMode SortMode() const { return m_mode; }
    bool IsZip64() const { return m_isZip64; }
    // Whether an entry equal to this one in the list's order is held.
    bool Contains(const TZipHeaderInfo& entry) const;
    // Direct replacement is refused: raises "Cannot <Put> an Object in a sorted list!".
    void Put(std::size_t index, TZipHeaderInfo* entry);

    // <0, 0, >0 as a sorts before, with or after b in the mode.
    static int Compare(TZipSortMode mode, const TZipHeaderInfo& a, const TZipHeaderInfo& b);

private:
    TZipSortMode m_mode;
    TDupeMode m_dupes;
    std::vector<TZipHeaderInfo*> m_items;
    bool m_isZip64 = false;
};

} // namespace quill::zip
