#pragma once

#include "zip/TUnZipper.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quill::zip {

enum class TZipAction { zaUpdate, zaReplace, zaFreshen };
enum class TUpdateAction { uaReplacing, uaKeeping };
enum class TEncryptStrength { esPKStandard, esAES128, esAES192, esAES256 };

struct TMultiZipInfo {
    TMultiMode MultiMode = TMultiMode::mmNone;
    std::uint32_t BlockSize = 1457600;
};

// File attribute bits of the search attribute mask and the stored attribute word.
inline constexpr std::uint32_t faReadOnly = 0x01;
inline constexpr std::uint32_t faHidden = 0x02;
inline constexpr std::uint32_t faSysFile = 0x04;
inline constexpr std::uint32_t faVolumeID = 0x08;
inline constexpr std::uint32_t faDirectory = 0x10;
inline constexpr std::uint32_t faArchive = 0x20;

// The attribute word of a file: 0x20 for a file, 0x10 for a folder, 0x01 when it cannot
// be written, 0x02 for a name starting with "." (hidden); nullopt when it does not exist.
std::optional<std::uint32_t> FileAttributeWord(const std::string& path);

// The folder for temporary archives: $XDG_RUNTIME_DIR, else a folder of the user's own
// (mode 0700) under /tmp; never a world-writable folder directly.
std::string PrivateTempFolder();

// Writes ZIP archives: a new archive from FilesList, or an existing one updated through a
// temporary file that replaces it in one rename, so that ZipName always holds either the
// older archive or the complete new one.
class TZipper : public TUnZipper {
public:
    TZipper();
    ~TZipper() override;

    int PackLevel = 6;
    bool Recurse = false;
    bool Dispose = false;
    bool StorePaths() const { return m_storePaths; }
    void setStorePaths(bool value);
    bool RelativePaths = false;
    bool StoreVolumes = false;
    TZipAction ZipAction = TZipAction::zaUpdate;
    TMultiZipInfo MultiZipInfo;
    bool Store83Names = false;
    std::string TempPath;
    bool SkipIfArchiveBitNotSet = false;
    bool ResetArchiveBitOnZip = false;
    std::vector<std::string> ExcludeList;
    std::vector<std::string> NoCompressList;
    bool AddDirEntriesOnRecurse = false;
    bool IncludeHiddenFiles() const { return m_searchMask & faHidden; }
    void setIncludeHiddenFiles(bool value) { SetMaskBit(faHidden, value); }
    bool IncludeSysFiles() const { return m_searchMask & faSysFile; }
    void setIncludeSysFiles(bool value) { SetMaskBit(faSysFile, value); }
    bool IncludeReadOnlyFiles() const { return m_searchMask & faReadOnly; }
    void setIncludeReadOnlyFiles(bool value) { SetMaskBit(faReadOnly, value); }
    bool IncludeArchiveFiles() const { return m_searchMask & faArchive; }
    void setIncludeArchiveFiles(bool value) { SetMaskBit(faArchive, value); }
    std::uint32_t SearchAttributes() const { return m_searchMask; }
    TEncryptStrength EncryptStrength = TEncryptStrength::esPKStandard;

    std::function<void(TZipper* Sender, int NumFiles, std::uint64_t TotalBytes, TEndCentral& EndCentralRecord,
                       bool& StopNow)>
        OnStartZipInfo;
    std::function<void(TZipper* Sender, const std::string& FName, TZipHeaderInfo& ZipHeader, bool& Skip)> OnStartZip;
    std::function<void(TZipper* Sender, const std::string& FName, std::uint64_t UncompressedSize,
                       std::uint64_t CompressedSize, std::uint64_t CurrentZipSize)>
        OnEndZip;
    std::function<void(TZipper* Sender, const std::string& FName)> OnNoSuchFile;
    std::function<void(TZipper* Sender, TUpdateAction UDAction, int FileIndex)> OnUpdate;
    std::function<void(TZipper* Sender, int FileCount)> OnZipComplete;

    // Zips the files of FilesList into ZipName; the number of files compressed. FilesList
    // is empty afterwards, also after an exception.
    int Zip();

    // The text of warning 208: a source file gave fewer bytes than its size.
    static std::string ShortReadWarning(const std::string& path);
    // The error of a source file that outgrew its local header while it was zipped.
    static std::string GrewPastLimitError(const std::string& path);
    // The error of an update refused because the older archive's directory was repaired.
    static std::string DamagedArchiveError(const std::string& path);

protected:
    // The largest size a local header written without zip64 sizes can be finished with
    // (4 GiB - 1). A seam: tests lower it so that a small file stands in for one that grows
    // past 4 GiB while it is being zipped.
    virtual std::uint64_t NarrowSizeLimit() const { return 0xFFFFFFFFu; }

    TMultiMode MultiMode() const override { return MultiZipInfo.MultiMode; }
    void setMultiMode(TMultiMode mode) override { MultiZipInfo.MultiMode = mode; }

private:
    void SetMaskBit(std::uint32_t bit, bool on) { m_searchMask = on ? (m_searchMask | bit) : (m_searchMask & ~bit); }
    void ExpandList();
    void CreateOutput(const std::string& path);
    bool AddFile(const std::string& path);
    void UpdatePass();
    void CarryOver(TZipHeaderInfo& entry);
    void CopyDataDescriptor(const TZipHeaderInfo& entry, std::uint64_t uncompressed, std::uint64_t compressed);
    void Deflate(int source, std::uint64_t& read);
    void Store(int source, std::uint64_t& read);
    std::uint64_t ReadSource(int source, unsigned char* buffer, std::size_t size, std::uint64_t& read);
    void WriteLocalHeader(TZipHeaderInfo& entry, bool forceZip64Sizes);
    void WriteCentralDirectory();
    void WriteBlock(const void* data, std::size_t length);
    void SeekOutput(std::uint64_t position);
    void ReplaceOlderArchive();
    std::string StoredName(TZipHeaderInfo& entry);

    bool m_storePaths = false;
    std::uint32_t m_searchMask = faReadOnly | faVolumeID | faDirectory | faArchive;

    // State of one Zip call.
    std::FILE* m_output = nullptr;
    std::string m_outputName;
    bool m_updating = false;
    std::vector<std::unique_ptr<TZipHeaderInfo>> m_newEntries;
    std::unique_ptr<TSortedEntryList> m_byName;
    std::unique_ptr<TSortedEntryList> m_byPosition;
    TEndCentral m_newEnd;
    std::uint64_t m_written = 0;
    std::uint64_t m_total = 0;
    std::uint64_t m_done = 0;
    std::uint64_t m_fileSize = 0;
    std::uint32_t m_crc = 0xFFFFFFFFu;
    int m_added = 0;
    posix::Fd m_tempLock; // the temporary file of an update, locked while in use
    // The file being added, and the size at which it no longer fits its local header.
    std::string m_sourcePath;
    std::uint64_t m_sizeLimit = UINT64_MAX;
};

} // namespace quill::zip
