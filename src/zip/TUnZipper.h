#pragma once

#include "zip/MatchPattern.h"
#include "zip/PosixFiles.h"
#include "zip/ZipDirectory.h"
#include "zip/ZipExceptions.h"

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quill::zip {

enum class TUZOverwriteMode { Prompt, Always, Never, ifNewer, ifOlder };
enum class TIncompleteZipMode { izAssumeMulti, izAssumeBad, izAssumeNotAZip };
enum class TBlockMode { bmStandard, bmClassic };
enum class TMultiMode { mmNone, mmSpan, mmBlocks };
enum class TSkipReason {
    srBadPassword,
    srNoOverwrite,
    srFileOpenError,
    srCreateError,
    srExcludeList,
    srArchiveBitNotSet,
    srNoFileToFreshen,
    srSkippedInStartZip
};

// Answers of the component's message boxes.
inline constexpr int IDOK = 1;
inline constexpr int IDYES = 6;
inline constexpr int IDNO = 7;
inline constexpr unsigned MB_OK = 0x0;
inline constexpr unsigned MB_YESNO = 0x4;
inline constexpr unsigned MB_OKCANCEL = 0x1;

// Reads ZIP archives: finds and holds the directory of ZipName and extracts entries to
// DestDir. Entry names never lead outside DestDir: a name whose parts would (an
// absolute path, "..", ".", a NUL byte) is skipped as a file that cannot be created, and
// so is an entry whose data overlaps one already extracted. A target holds exactly the
// bytes decoded into it and is always a new file, never one reached through a link; no
// folder on the way below DestDir is followed if it is a symbolic link.
class TUnZipper {
public:
    TUnZipper();
    virtual ~TUnZipper();
    TUnZipper(const TUnZipper&) = delete;
    TUnZipper& operator=(const TUnZipper&) = delete;

    // Properties.
    const std::string& ZipName() const { return m_zipName; }
    void setZipName(const std::string& value);
    const std::string& DestDir() const { return m_destDir; }
    void setDestDir(const std::string& value);
    const std::string& RootDir() const { return m_rootDir; }
    void setRootDir(const std::string& value);
    std::vector<std::string>& RelativePathList() { return m_relativePathList; }
    TZipSortMode SortMode() const { return m_sortMode; }
    void setSortMode(TZipSortMode value);
    bool RecreateDirs = false;
    TUZOverwriteMode OverwriteMode = TUZOverwriteMode::Prompt;
    std::vector<std::string>& FilesList() { return m_filesList; }
    bool DoAll = false;
    TIncompleteZipMode IncompleteZipMode = TIncompleteZipMode::izAssumeMulti;
    bool KeepZipOpen = false;
    bool DoProcessMessages = true;
    bool RetainAttributes = true;
    bool ReplaceReadOnly = false;
    bool FlushFilesOnClose = false;
    TBlockMode BlockMode = TBlockMode::bmStandard;
    TOEMConvert OEMConvert = TOEMConvert::oemFlexible;
    int ThisVersion = 100;
    int ThisBuild = 1;
    std::string ThisReleaseLevel = "Release";

    // Events.
    std::function<void(TUnZipper* Sender, int NumFiles, std::uint64_t TotalBytes, bool& StopNow)> OnStartUnZipInfo;
    std::function<void(TUnZipper* Sender, int FileIndex, std::string& FName, bool& Skip)> OnStartUnZip;
    std::function<void(TUnZipper* Sender, int FileIndex, const std::string& FName)> OnEndUnZip;
    std::function<void(TUnZipper* Sender, int Percent)> OnFilePercentDone;
    std::function<void(TUnZipper* Sender, int Percent)> OnTotalPercentDone;
    std::function<void(TUnZipper* Sender, bool& OverWriteIt, int FileIndex, std::string& FName)> OnPromptForOverwrite;
    std::function<void(TUnZipper* Sender, TSkipReason Reason, const std::string& FName, int FileIndex, bool& Retry)>
        OnSkippingFile;
    std::function<void(TUnZipper* Sender, std::uint32_t CalcCRC, std::uint32_t StoredCRC, int FileIndex)> OnBadCRC;
    std::function<void(TUnZipper* Sender, TIncompleteZipMode& IncompleteMode)> OnInCompleteZip;
    std::function<void(TUnZipper* Sender, int NextDisk, std::string& FName)> OnGetNextDisk;
    std::function<void(TUnZipper* Sender, int FileCount)> OnUnZipComplete;
    std::function<void(TUnZipper* Sender, int MessageID, const std::string& Msg1, const std::string& Msg2,
                       unsigned flags, int& Return)>
        OnHandleMessage;
    // The host's event processing, run where the component lets pending messages through
    // (between entries, before each chunk, during the repair scan).
    std::function<void()> ProcessMessages;

    // Extracts the selected entries; the number extracted.
    int UnZip();
    // Reads the directory of ZipName unless the one held is current.
    void ReadZip();

    // Entries of the directory, in the view's order.
    int Count() const;
    const TZipHeaderInfo& Entry(int index) const;
    std::string Filename(int index) const;
    std::time_t DateTime(int index) const;
    const TEndCentral& EndCentral() const { return m_endCentral; }

    bool Busy() const { return m_busy; }
    void Cancel() { m_cancel = true; }
    void Pause(bool paused) { m_pause = paused; }

    // The name of part (disk) number disk of a split archive.
    std::string PartName(std::uint32_t disk) const;

protected:
    // Split-archive settings, kept elsewhere by a writer.
    virtual TMultiMode MultiMode() const { return m_multiMode; }
    virtual void setMultiMode(TMultiMode mode) { m_multiMode = mode; }

    void Reset(bool badArchive);
    // Makes a directory written elsewhere the component's own, for the archive ZipName.
    void AdoptDirectory(std::vector<std::unique_ptr<TZipHeaderInfo>> entries, const TEndCentral& end);
    std::uint32_t CurrentDisk() const { return m_currentDisk; }
    void OpenArchive();
    void CloseArchive();
    bool DirectoryIsCurrent();
    void ReadDirectory();
    void CheckCancel();
    void ClearCancel() { m_cancel = false; }
    int ShowMessage(int id, const std::string& text, unsigned flags, const std::string& caption);
    // Whether the directory held was rebuilt by the repair scan from local headers.
    bool ImproperZip() const { return m_improperZip; }

    std::FILE* m_file = nullptr;
    std::unique_ptr<TSortedEntryList> m_list;
    std::vector<std::unique_ptr<TZipHeaderInfo>> m_entries; // owned by the main list
    std::unique_ptr<TSortedEntryList> m_view;               // null when the view is the main list
    TEndCentral m_endCentral;
    bool m_busy = false;

private:
    bool FindEndRecord(std::FILE* file, TEndCentral& end);
    void ReadCentralDirectory(std::FILE* file, bool fromZfc);
    std::unique_ptr<TZipHeaderInfo> ReadCentralHeader(std::FILE* file);
    void ParseExtra(TZipHeaderInfo& entry, const std::vector<unsigned char>& extra);
    bool RepairScan();
    void RebuildView();
    TSortedEntryList& View() const;
    void SwitchDisk(std::uint32_t disk);

    int ExtractRun();
    bool Selected(const TZipHeaderInfo& entry) const;
    bool ExtractEntry(int index, TZipHeaderInfo entry);
    // The steps of one entry.
    std::uint64_t DataStart(const TZipHeaderInfo& entry);
    bool TargetFolder(const TZipHeaderInfo& entry, std::string& folder) const;
    bool ExtractFolder(int index, const TZipHeaderInfo& entry, const std::string& folder);
    bool ClaimDataRange(const TZipHeaderInfo& entry, std::uint64_t dataStart);
    // The folder a target goes into, opened once, and the target's name in it.
    struct TargetPlace {
        posix::Fd folder;
        std::string name;
    };
    // Opens (making what is missing) a folder for extraction; -1 when it cannot be made
    // or a part of it below DestDir is a symbolic link or no folder.
    int OpenFolder(const std::string& folder) const;
    TargetPlace PlaceOf(const std::string& target) const;
    bool MayWrite(int index, const TZipHeaderInfo& entry, std::string& target, const TargetPlace& place);
    int CreateTarget(const TargetPlace& place);
    bool DecodeTarget(const TZipHeaderInfo& entry, std::uint64_t dataStart, int fd);
    void FinishTarget(int fd, const TZipHeaderInfo& entry, bool completed);
    bool VerifyTarget(int index, const TZipHeaderInfo& entry, const std::string& target, const TargetPlace& place,
                      bool completed);
    bool SkipEntry(int index, const TZipHeaderInfo& entry, TSkipReason reason, const std::string& name);
    void Decode(const TZipHeaderInfo& entry, int fd);
    void FlushOutput(int fd, const unsigned char* data, std::size_t length);
    int ReadChunk(unsigned char* buffer, std::uint64_t& left);

    std::string m_zipName;
    std::string m_zipBase; // ZipName without its extension
    std::string m_destDir;
    std::string m_rootDir;
    std::vector<std::string> m_relativePathList;
    std::vector<std::string> m_filesList;
    TZipSortMode m_sortMode = TZipSortMode::ByNone;
    TMultiMode m_multiMode = TMultiMode::mmNone;
    bool m_cancel = false;
    bool m_pause = false;
    bool m_zipIsBad = false;
    bool m_improperZip = false;
    bool m_repairing = false;
    std::uint32_t m_currentDisk = 0;
    std::uint32_t m_numberOfDisks = 1;
    // The archive file as it was when its directory was read.
    std::optional<posix::FileStamp> m_directoryStamp;

    // State of one extraction.
    std::uint64_t m_totalSize = 0;
    std::uint64_t m_totalDone = 0;
    std::uint64_t m_entryDone = 0;
    std::uint64_t m_entrySize = 0;
    std::uint32_t m_crc = 0xFFFFFFFFu;
    std::vector<unsigned char> m_input;
    std::vector<unsigned char> m_output;
    // Ranges of the archive (disk, start) to end that this run has extracted.
    std::map<std::pair<std::uint32_t, std::uint64_t>, std::uint64_t> m_claimed;
};

} // namespace quill::zip
