#include "zip/TUnZipper.h"

#include "zip/LegacyDecoders.h"
#include "zip/ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace quill::zip {
namespace {

constexpr std::size_t kChunk = 32768;
constexpr std::size_t kEndSearch = kMaxCommentLength + kEndCentralSize; // 65,557

bool Seek(std::FILE* file, std::uint64_t offset) {
    return offset <= static_cast<std::uint64_t>(INT64_MAX) && fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

std::uint64_t Tell(std::FILE* file) {
    const off_t at = ftello(file);
    return at < 0 ? 0 : static_cast<std::uint64_t>(at);
}

bool ReadExactly(std::FILE* file, void* buffer, std::size_t length) {
    return std::fread(buffer, 1, length, file) == length;
}

// The DOS date and time of a file's last write; nullopt when it cannot be read.
std::optional<std::uint32_t> FileDosDateTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return TimeToDosDateTime(st.st_mtime);
}

bool Exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsDirectory(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates a folder and every missing parent. A symbolic link on the way counts as a
// failure: extraction never follows one.
bool ForceDirectories(const std::string& path) {
    if (path.empty()) return true;
    std::string built;
    std::size_t at = 0;
    if (path[0] == '/') {
        built = "/";
        at = 1;
    }
    while (at <= path.size()) {
        std::size_t next = path.find('/', at);
        if (next == std::string::npos) next = path.size();
        const std::string part = path.substr(at, next - at);
        at = next + 1;
        if (part.empty()) continue;
        if (!built.empty() && built.back() != '/') built += '/';
        built += part;
        struct stat st {};
        if (::lstat(built.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return false;
            continue;
        }
        if (::mkdir(built.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
    return true;
}

// Splits "a\b\c" into its parts; false when a part would lead elsewhere ("..") or the
// name holds a NUL byte. Empty and "." parts are dropped.
bool SafeParts(const std::string& path, std::vector<std::string>& parts) {
    if (path.find('\0') != std::string::npos) return false;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t next = path.find_first_of("\\/", at);
        if (next == std::string::npos) next = path.size();
        const std::string part = path.substr(at, next - at);
        at = next + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return false;
        parts.push_back(part);
    }
    return true;
}

// The file system mode for an entry's attributes: the Unix mode a Unix archiver stored
// in the high half (without set-id and sticky bits), else the DOS read-only bit.
mode_t ModeFromAttributes(const TZipHeaderInfo& entry, mode_t current) {
    const std::uint32_t attributes = entry.ExternalAttributes;
    const std::uint32_t unixMode = attributes >> 16;
    if ((entry.VersionMadeBy >> 8) == 3 && unixMode != 0) return static_cast<mode_t>(unixMode & 0777);
    if (attributes & 0x01) return current & ~static_cast<mode_t>(0222);
    return current;
}

void ApplyAttributes(const std::string& path, const TZipHeaderInfo& entry, bool folder) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return;
    mode_t mode = ModeFromAttributes(entry, st.st_mode & 07777);
    // A folder stays open to its owner, so that what follows can still be written into it.
    if (folder) mode |= S_IRWXU;
    ::chmod(path.c_str(), mode);
}

void SetFileTime(const std::string& path, std::uint32_t dosDateTime) {
    const std::time_t t = DosDateTimeToTime(ValidateDosDateTime(dosDateTime));
    struct timespec times[2];
    times[0].tv_sec = t;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

bool MatchSet(const std::string& set, char c) {
    std::size_t i = 0;
    bool negate = false;
    if (i < set.size() && (set[i] == '!' || set[i] == '^')) negate = true, ++i;
    bool found = false;
    while (i < set.size()) {
        if (i + 2 < set.size() && set[i + 1] == '-') {
            if (c >= set[i] && c <= set[i + 2]) found = true;
            i += 3;
        } else {
            if (c == set[i]) found = true;
            ++i;
        }
    }
    return found != negate;
}

bool MatchFrom(const std::string& p, std::size_t pi, const std::string& s, std::size_t si) {
    while (pi < p.size()) {
        const char pc = p[pi];
        if (pc == '*') {
            while (pi < p.size() && p[pi] == '*') ++pi;
            if (pi == p.size()) return true;
            for (std::size_t k = si; k <= s.size(); ++k)
                if (MatchFrom(p, pi, s, k)) return true;
            return false;
        }
        if (si == s.size()) return false;
        if (pc == '?') {
            ++pi, ++si;
        } else if (pc == '<') {
            const std::size_t close = p.find('>', pi + 1);
            if (close == std::string::npos) return false; // a malformed set matches nothing
            if (!MatchSet(p.substr(pi + 1, close - pi - 1), s[si])) return false;
            pi = close + 1, ++si;
        } else {
            if (pc != s[si]) return false;
            ++pi, ++si;
        }
    }
    return si == s.size();
}

} // namespace

bool MatchPattern(const std::string& pattern, const std::string& name) {
    if (pattern == "*") return true;
    return MatchFrom(pattern, 0, name, 0);
}

TUnZipper::TUnZipper() = default;

TUnZipper::~TUnZipper() { Reset(false); }

void TUnZipper::setZipName(const std::string& value) {
    if (AsciiLower(value) == AsciiLower(m_zipName)) return; // the directory already read stays
    Reset(false);
    m_zipName = value;
    const auto slash = value.find_last_of('/');
    const auto dot = value.find_last_of('.');
    m_zipBase =
        (dot != std::string::npos && (slash == std::string::npos || dot > slash)) ? value.substr(0, dot) : value;
}

void TUnZipper::setDestDir(const std::string& value) {
    m_destDir = value;
    if (!m_destDir.empty() && (m_destDir.back() == '/' || m_destDir.back() == '\\')) m_destDir.pop_back();
}

void TUnZipper::setRootDir(const std::string& value) {
    m_rootDir = value;
    if (!m_rootDir.empty() && m_rootDir.back() != '\\' && m_rootDir.back() != '/') m_rootDir += '\\';
    m_relativePathList.clear();
    if (!m_rootDir.empty()) m_relativePathList.push_back(m_rootDir);
}

void TUnZipper::setSortMode(TZipSortMode value) {
    if (value == m_sortMode) return;
    m_sortMode = value;
    if (m_list) RebuildView();
}

void TUnZipper::Reset(bool badArchive) {
    CloseArchive();
    m_view.reset();
    m_list.reset();
    m_entries.clear();
    m_endCentral = TEndCentral();
    m_totalSize = m_totalDone = 0;
    m_zipIsBad = false;
    m_improperZip = false;
    m_repairing = false;
    m_haveDirectoryDateTime = false;
    if (badArchive) {
        m_numberOfDisks = 1;
        setMultiMode(TMultiMode::mmNone);
        m_zipName.clear();
        m_zipBase.clear();
    }
}

void TUnZipper::AdoptDirectory(std::vector<std::unique_ptr<TZipHeaderInfo>> entries, const TEndCentral& end) {
    m_view.reset();
    m_list = std::make_unique<TSortedEntryList>(TZipSortMode::ByNone, TDupeMode::dmError);
    m_entries = std::move(entries);
    for (auto& entry : m_entries) m_list->Add(entry.get());
    m_endCentral = end;
    m_repairing = false;
    m_zipIsBad = false;
    m_numberOfDisks = m_currentDisk + 1;
    const auto stamp = FileDosDateTime(m_zipName);
    m_haveDirectoryDateTime = stamp.has_value();
    m_directoryDateTime = stamp.value_or(0);
    RebuildView();
}

void TUnZipper::OpenArchive() {
    if (m_file) return;
    m_file = std::fopen(m_zipName.c_str(), "rb");
    if (!m_file) throw EFOpenError("Cannot open file \"" + m_zipName + "\". " + std::strerror(errno));
    std::setvbuf(m_file, nullptr, _IOFBF, 8192);
}

void TUnZipper::CloseArchive() {
    if (m_file) std::fclose(m_file);
    m_file = nullptr;
}

int TUnZipper::ShowMessage(int id, const std::string& text, unsigned flags, const std::string& caption) {
    int answer = (flags & MB_YESNO) ? IDNO : IDOK; // no one to ask: the cautious answer
    if (OnHandleMessage) OnHandleMessage(this, id, text, caption, flags, answer);
    return answer;
}

void TUnZipper::CheckCancel() {
    if (!DoProcessMessages) return;
    if (ProcessMessages) ProcessMessages();
    if (m_cancel) {
        m_cancel = false;
        throw EUserCanceled(text::kUserAborted);
    }
    while (m_pause) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        if (ProcessMessages) ProcessMessages();
        if (m_cancel) {
            m_cancel = false;
            throw EUserCanceled(text::kUserAborted);
        }
    }
}

std::string TUnZipper::PartName(std::uint32_t disk) const {
    char number[16];
    if (BlockMode == TBlockMode::bmClassic) {
        std::snprintf(number, sizeof number, ".%3.3u", disk + 1);
        return m_zipBase + number;
    }
    if (disk + 1 >= m_numberOfDisks) return m_zipBase + ".zip";
    std::snprintf(number, sizeof number, ".z%2.2u", disk + 1);
    return m_zipBase + number;
}

void TUnZipper::SwitchDisk(std::uint32_t disk) {
    if (disk == m_currentDisk && m_file) return;
    std::string name = PartName(disk);
    if (OnGetNextDisk) {
        OnGetNextDisk(this, static_cast<int>(disk + 1), name);
    } else if (MultiMode() == TMultiMode::mmSpan) {
        if (ShowMessage(0, "Please insert disk " + std::to_string(disk + 1) + " of the multi-disk set.", MB_OKCANCEL,
                        "") != IDOK)
            name.clear();
    }
    if (name.empty()) throw EUserCanceled(text::kCanceledNewDisk);
    CloseArchive();
    m_file = std::fopen(name.c_str(), "rb");
    if (!m_file) throw EFOpenError("Cannot open file \"" + name + "\". " + std::strerror(errno));
    m_currentDisk = disk;
}

bool TUnZipper::FindEndRecord(std::FILE* file, TEndCentral& end) {
    end = TEndCentral();
    if (fseeko(file, 0, SEEK_END) != 0) return false;
    const std::uint64_t size = Tell(file);
    if (size == 0) return true; // an empty archive
    if (size < kEndCentralSize) return false;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(kEndSearch, size));
    std::vector<unsigned char> buffer(n);
    if (!Seek(file, size - n) || !ReadExactly(file, buffer.data(), n)) return false;
    std::size_t found = std::string::npos;
    for (std::size_t i = n - kEndCentralSize + 1; i-- > 0;) {
        if (buffer[i] == 0x50 && Get32(&buffer[i]) == kEndCentralSignature) {
            found = i;
            break;
        }
    }
    if (found == std::string::npos) return false;
    const unsigned char* r = &buffer[found];
    end.ThisDisk = Get16(r + 4);
    end.StartDisk = Get16(r + 6);
    end.EntriesThisDisk = Get16(r + 8);
    end.TotalEntries = Get16(r + 10);
    end.CentralSize = Get32(r + 12);
    end.CentralOffset = Get32(r + 16);
    end.CommentLength = Get16(r + 20);
    end.CommentPosition = size - n + found + kEndCentralSize;
    const std::size_t commentAvailable = n - found - kEndCentralSize;
    end.Comment.assign(reinterpret_cast<const char*>(r + kEndCentralSize),
                       std::min<std::size_t>(end.CommentLength, commentAvailable));

    // The zip64 locator stands right before the record.
    const std::uint64_t recordAt = size - n + found;
    if (recordAt >= kZip64LocatorSize) {
        unsigned char locator[kZip64LocatorSize];
        if (Seek(file, recordAt - kZip64LocatorSize) && ReadExactly(file, locator, sizeof locator) &&
            Get32(locator) == kZip64LocatorSignature) {
            TEndCentral::Zip64Locator l;
            l.EndDisk = Get32(locator + 4);
            l.EndOffset = Get64(locator + 8);
            l.TotalDisks = Get32(locator + 16);
            end.Locator = l;
            unsigned char record[kZip64EndCentralSize];
            if (Seek(file, l.EndOffset) && ReadExactly(file, record, sizeof record) &&
                Get32(record) == kZip64EndCentralSignature) {
                TEndCentral::Zip64End z;
                z.RecordSize = Get64(record + 4);
                z.VersionMadeBy = Get16(record + 12);
                z.VersionNeeded = Get16(record + 14);
                z.ThisDisk = Get32(record + 16);
                z.StartDisk = Get32(record + 20);
                z.EntriesThisDisk = Get64(record + 24);
                z.TotalEntries = Get64(record + 32);
                z.CentralSize = Get64(record + 40);
                z.CentralOffset = Get64(record + 48);
                end.Zip64 = z;
            }
        }
    }
    return end.ThisDiskNumber() >= end.StartDiskNumber();
}

namespace {

// The fields that local and central headers share, from "version needed" to the extra
// field length.
void ReadSharedFields(TZipHeaderInfo& entry, const unsigned char* p) {
    entry.VersionNeeded = Get16(p);
    entry.Flag = Get16(p + 2);
    entry.CompressionMethod = Get16(p + 4);
    entry.ModDateTime = ValidateDosDateTime(Get32(p + 6));
    entry.CRC32 = Get32(p + 10);
    entry.NarrowCompressedSize = Get32(p + 14);
    entry.NarrowUncompressedSize = Get32(p + 18);
    entry.FileNameLength = Get16(p + 22);
}

// Takes a stored name: separators as "\", converted from the OEM code page when that
// round-trips, else read as UTF-8; then split into folder and file name parts.
// Splits a decoded name ("/" and "\\" alike) into the folder part, ending in "\\", and
// the file name part.
void SetNameParts(TZipHeaderInfo& entry, std::string name) {
    std::replace(name.begin(), name.end(), '/', '\\');
    const auto slash = name.rfind('\\');
    entry.Directory = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    entry.FileName = slash == std::string::npos ? name : name.substr(slash + 1);
}

void DecodeStoredName(TZipHeaderInfo& entry, std::string stored, bool mayBeOem) {
    std::replace(stored.begin(), stored.end(), '/', '\\');
    entry.StoredName = stored;
    std::string name = stored;
    if (mayBeOem && !(entry.Flag & kFlagUtf8) && entry.OEMConvert == TOEMConvert::oemFlexible) {
        const auto ansi = OemToChar(stored);
        if (ansi && CharToOem(*ansi) == stored) name = *ansi;
    }
    SetNameParts(entry, name);
}

} // namespace

void TUnZipper::ParseExtra(TZipHeaderInfo& entry, const std::vector<unsigned char>& extra) {
    std::size_t at = 0;
    while (at + 4 <= extra.size()) {
        const std::uint16_t id = Get16(&extra[at]);
        const std::uint16_t size = Get16(&extra[at + 2]);
        const std::size_t data = at + 4;
        const std::size_t end = std::min(extra.size(), data + size);
        if (id == kZip64ExtraId) {
            entry.Zip64ExtraLength = static_cast<std::uint16_t>(size + 4);
            TZip64Info z;
            std::size_t p = data;
            auto take64 = [&](std::uint64_t& v) {
                if (p + 8 <= end) v = Get64(&extra[p]), p += 8;
            };
            if (entry.NarrowUncompressedSize == 0xFFFFFFFFu) take64(z.UncompressedSize);
            if (entry.NarrowCompressedSize == 0xFFFFFFFFu) take64(z.CompressedSize);
            if (entry.NarrowRelativeOffset == 0xFFFFFFFFu) take64(z.RelativeOffset);
            if (entry.NarrowDiskStart == 0xFFFF && p + 4 <= end) z.DiskStart = Get32(&extra[p]);
            entry.Zip64 = z;
        } else if (id == kUnicodePathExtraId && end - data >= 5) {
            TUnicodePathInfo u;
            u.Version = extra[data];
            u.NameCrc = Get32(&extra[data + 1]);
            entry.UnicodePath = u;
            SetNameParts(entry, std::string(reinterpret_cast<const char*>(&extra[data + 5]), end - data - 5));
        } else if (id == kAesExtraId && end - data >= 7) {
            TAesInfo a;
            a.VendorVersion = Get16(&extra[data]);
            a.VendorId = Get16(&extra[data + 2]);
            a.KeyStrength = extra[data + 4];
            a.RealMethod = Get16(&extra[data + 5]);
            entry.Aes = a;
        }
        at = data + size;
    }
}

std::unique_ptr<TZipHeaderInfo> TUnZipper::ReadCentralHeader(std::FILE* file) {
    const std::uint64_t start = Tell(file);
    auto fail = [&]() -> std::unique_ptr<TZipHeaderInfo> {
        Seek(file, start);
        return nullptr;
    };
    unsigned char h[kCentralHeaderSize];
    if (!ReadExactly(file, h, sizeof h) || Get32(h) != kCentralHeaderSignature) return fail();
    auto entry = std::make_unique<TZipHeaderInfo>();
    entry->OEMConvert = OEMConvert;
    entry->VersionMadeBy = Get16(h + 4);
    ReadSharedFields(*entry, h + 6);
    entry->ExtraFieldLength = Get16(h + 30);
    entry->FileCommentLength = Get16(h + 32);
    entry->NarrowDiskStart = Get16(h + 34);
    entry->InternalAttributes = Get16(h + 36);
    entry->ExternalAttributes = Get32(h + 38);
    entry->NarrowRelativeOffset = Get32(h + 42);
    entry->HeaderPosition = start;

    std::string stored(entry->FileNameLength, '\0');
    if (!ReadExactly(file, stored.data(), stored.size())) return fail();
    DecodeStoredName(*entry, stored, (entry->VersionMadeBy & 0x0B00) != 0x0B00);

    entry->CentralExtraPosition = Tell(file);
    if (entry->ExtraFieldLength > 0) {
        std::vector<unsigned char> extra(entry->ExtraFieldLength);
        const std::size_t got = std::fread(extra.data(), 1, extra.size(), file);
        extra.resize(got);
        ParseExtra(*entry, extra);
        Seek(file, entry->CentralExtraPosition);
    }
    if (entry->CompressionMethod == kMethodAes && entry->Aes) {
        entry->KeyStrength = entry->Aes->KeyStrength;
        entry->CompressionMethod = entry->Aes->RealMethod;
        entry->Flag |= kFlagEncrypted;
    }
    return entry;
}

bool TUnZipper::RepairScan() {
    if (m_zipIsBad) return false; // a second attempt fails at once
    m_zipIsBad = true;
    m_improperZip = true;
    m_view.reset();
    m_list = std::make_unique<TSortedEntryList>(TZipSortMode::ByNone, TDupeMode::dmError);
    m_entries.clear();
    std::FILE* file = m_file;
    const bool exe = m_zipName.size() >= 4 && AsciiLower(m_zipName.substr(m_zipName.size() - 4)) == ".exe";
    std::uint64_t position = exe ? 14000 : 0;
    if (!Seek(file, position)) return false;

    // The first local header signature with a plausible version.
    std::uint32_t window = 0;
    std::uint64_t scanned = 0;
    bool found = false;
    for (int c; (c = std::fgetc(file)) != EOF;) {
        window = (window >> 8) | static_cast<std::uint32_t>(c) << 24;
        ++scanned;
        if (scanned % 10240 == 0) CheckCancel();
        if (scanned >= 4 && window == kLocalHeaderSignature) {
            unsigned char version[2];
            const std::uint64_t after = Tell(file);
            if (ReadExactly(file, version, 2) && version[1] < 10) {
                position = after - 4;
                found = true;
                break;
            }
            Seek(file, after);
        }
    }
    if (!found) return false;

    Seek(file, position);
    for (;;) {
        const std::uint64_t at = Tell(file);
        unsigned char h[kLocalHeaderSize];
        if (!ReadExactly(file, h, sizeof h) || Get32(h) != kLocalHeaderSignature) {
            Seek(file, at);
            break;
        }
        auto entry = std::make_unique<TZipHeaderInfo>();
        entry->OEMConvert = OEMConvert;
        ReadSharedFields(*entry, h + 4);
        entry->LocalExtraFieldLength = Get16(h + 28);
        entry->NarrowRelativeOffset = static_cast<std::uint32_t>(std::min<std::uint64_t>(at, 0xFFFFFFFFu));
        if (at >= 0xFFFFFFFFu) {
            TZip64Info z;
            z.RelativeOffset = at;
            entry->Zip64 = z;
        }
        std::string name(entry->FileNameLength, '\0');
        if (!ReadExactly(file, name.data(), name.size())) {
            Seek(file, at);
            break;
        }
        DecodeStoredName(*entry, name, true);
        std::uint64_t skip = entry->LocalExtraFieldLength + static_cast<std::uint64_t>(entry->NarrowCompressedSize);
        if (entry->Flag & kFlagDataDescriptor) skip += 16;
        try {
            m_list->Add(entry.get());
        } catch (const EListError&) {
            Seek(file, at);
            break;
        }
        m_entries.push_back(std::move(entry));
        if (!Seek(file, Tell(file) + skip)) break;
    }
    TEndCentral end;
    end.CentralOffset = static_cast<std::uint32_t>(std::min<std::uint64_t>(Tell(file), 0xFFFFFFFFu));
    end.TotalEntries = static_cast<std::uint16_t>(std::min<std::size_t>(m_entries.size(), 0xFFFF));
    end.EntriesThisDisk = end.TotalEntries;
    end.Comment = m_endCentral.Comment;
    end.CommentLength = m_endCentral.CommentLength;
    m_endCentral = end;
    m_currentDisk = 0;
    m_numberOfDisks = 1;
    m_repairing = true;
    return true;
}

void TUnZipper::ReadCentralDirectory(std::FILE* file, bool fromZfc) {
    const std::uint64_t total = m_endCentral.TotalEntryCount();
    const std::uint64_t offset = fromZfc ? 0 : m_endCentral.CentralDirectoryOffset();
    if (!m_list) m_list = std::make_unique<TSortedEntryList>(TZipSortMode::ByNone, TDupeMode::dmError);
    m_numberOfDisks = m_endCentral.ThisDiskNumber() + 1;
    if (total > 0) Seek(file, offset);

    bool toleranceUsed = false;
    TZipHeaderInfo* previous = nullptr;
    // In repair mode as many central headers are read as the scan found entries.
    for (std::uint64_t i = 0; i < (m_repairing ? m_list->size() : total); ++i) {
        CheckCancel();
        auto entry = ReadCentralHeader(file);
        if (!entry && !toleranceUsed && previous && previous->ExtraFieldLength != 0) {
            // The previous entry's extra field length may have been false: look for this
            // header that many bytes earlier, once.
            toleranceUsed = true;
            const std::uint16_t length = previous->ExtraFieldLength;
            previous->ExtraFieldLength = 0;
            const std::uint64_t at = Tell(file);
            if (at >= length) Seek(file, at - length);
            entry = ReadCentralHeader(file);
        }
        if (!entry) {
            if (m_repairing) break;
            if (MultiMode() != TMultiMode::mmNone || !RepairScan()) {
                Reset(true);
                throw EBadZipFile(text::kNotAZip);
            }
            i = static_cast<std::uint64_t>(-1); // restart in repair mode
            previous = nullptr;
            Seek(file, m_endCentral.CentralDirectoryOffset());
            continue;
        }
        const std::uint64_t skip = static_cast<std::uint64_t>(entry->ExtraFieldLength) + entry->FileCommentLength;
        if (m_repairing) {
            // Each entry found by the scan takes the first central header that names it.
            for (auto& found : m_entries) {
                if (!found->MatchFlag && found->DiskStart() == entry->DiskStart() &&
                    found->RelativeOffset() == entry->RelativeOffset()) {
                    const std::uint16_t localExtra = found->LocalExtraFieldLength;
                    const std::uint64_t keepOffset = found->RelativeOffset();
                    *found = *entry;
                    found->LocalExtraFieldLength = localExtra;
                    found->NarrowRelativeOffset =
                        static_cast<std::uint32_t>(std::min<std::uint64_t>(keepOffset, 0xFFFFFFFFu));
                    found->MatchFlag = true;
                    break;
                }
            }
            previous = entry.get();
            Seek(file, Tell(file) + skip);
            entry->MatchFlag = true; // kept only so that previous stays valid
            m_entries.push_back(std::move(entry));
            continue;
        }
        try {
            m_list->Add(entry.get());
        } catch (const EListError&) {
            // Two headers name the same local header: the directory cannot be trusted.
            if (!RepairScan()) {
                Reset(true);
                throw EBadZipFile(text::kNotAZip);
            }
            i = static_cast<std::uint64_t>(-1);
            previous = nullptr;
            Seek(file, m_endCentral.CentralDirectoryOffset());
            continue;
        }
        previous = entry.get();
        m_entries.push_back(std::move(entry));
        Seek(file, Tell(file) + skip);
    }
    if (m_repairing) {
        // Drop the central entries that were read only to be matched.
        std::vector<std::unique_ptr<TZipHeaderInfo>> kept;
        for (std::size_t k = 0; k < m_list->size(); ++k) {
            TZipHeaderInfo* listed = (*m_list)[k];
            for (auto& owned : m_entries)
                if (owned.get() == listed) kept.push_back(std::move(owned));
        }
        m_entries = std::move(kept);
        for (auto& entry : m_entries) entry->MatchFlag = false;
    }
    m_currentDisk = fromZfc ? 0 : m_endCentral.ThisDiskNumber();
    RebuildView();
}

void TUnZipper::ReadDirectory() {
    m_view.reset();
    m_list.reset();
    m_entries.clear();
    m_repairing = false;
    m_zipIsBad = false;

    bool fromZfc = false;
    std::FILE* zfc = nullptr;
    if (!FindEndRecord(m_file, m_endCentral)) {
        const std::string zfcName = m_zipBase + ".zfc";
        zfc = std::fopen(zfcName.c_str(), "rb");
        if (zfc && FindEndRecord(zfc, m_endCentral)) {
            fromZfc = true;
        } else {
            if (zfc) std::fclose(zfc);
            zfc = nullptr;
            TIncompleteZipMode mode = IncompleteZipMode;
            if (OnInCompleteZip) OnInCompleteZip(this, mode);
            IncompleteZipMode = mode;
            if (mode == TIncompleteZipMode::izAssumeNotAZip) throw ENotAZipFile(text::kNotAZip);
            if (mode == TIncompleteZipMode::izAssumeMulti) throw EIncompleteZip(text::kIncompleteZip);
            if (!RepairScan()) {
                Reset(true);
                throw EBadZipFile(text::kNotAZip);
            }
        }
    }

    if (!m_repairing) {
        const std::uint32_t thisDisk = m_endCentral.ThisDiskNumber();
        if (thisDisk > 0 && MultiMode() == TMultiMode::mmNone) setMultiMode(TMultiMode::mmBlocks);
        if (thisDisk == 0) setMultiMode(TMultiMode::mmNone);
        if (MultiMode() != TMultiMode::mmNone && !fromZfc) {
            m_numberOfDisks = thisDisk + 1;
            SwitchDisk(m_endCentral.StartDiskNumber());
        }
    }
    try {
        ReadCentralDirectory(fromZfc ? zfc : m_file, fromZfc);
    } catch (...) {
        if (zfc) std::fclose(zfc);
        throw;
    }
    if (zfc) std::fclose(zfc);
    const auto stamp = FileDosDateTime(m_zipName);
    m_haveDirectoryDateTime = stamp.has_value();
    m_directoryDateTime = stamp.value_or(0);
}

bool TUnZipper::DirectoryIsCurrent() {
    if (!m_list) return false;
    const auto stamp = FileDosDateTime(m_zipName);
    return m_haveDirectoryDateTime && stamp && *stamp == m_directoryDateTime;
}

void TUnZipper::ReadZip() {
    OpenArchive();
    if (!DirectoryIsCurrent()) ReadDirectory();
}

void TUnZipper::RebuildView() {
    m_view.reset();
    if (!m_list || m_sortMode == TZipSortMode::ByNone) return;
    m_view = std::make_unique<TSortedEntryList>(m_sortMode, TDupeMode::dmAccept);
    for (std::size_t i = 0; i < m_list->size(); ++i) m_view->Add((*m_list)[i]);
}

TSortedEntryList& TUnZipper::View() const {
    static TSortedEntryList empty(TZipSortMode::ByNone, TDupeMode::dmAccept);
    if (m_view) return *m_view;
    if (m_list) return *m_list;
    return empty;
}

int TUnZipper::Count() const { return static_cast<int>(View().size()); }

const TZipHeaderInfo& TUnZipper::Entry(int index) const {
    if (index < 0) {
        char message[64];
        std::snprintf(message, sizeof message, text::kIndexOutOfRange, index);
        throw EListError(message);
    }
    return *View()[static_cast<std::size_t>(index)];
}

std::string TUnZipper::Filename(int index) const { return Entry(index).FileName; }

std::time_t TUnZipper::DateTime(int index) const { return DosDateTimeToTime(Entry(index).ModDateTime); }

int TUnZipper::UnZip() {
    if (m_destDir == "?") return 0;
    struct BusyGuard {
        TUnZipper& z;
        bool was;
        explicit BusyGuard(TUnZipper& zipper) : z(zipper), was(zipper.m_busy) {
            z.m_busy = true;
            z.m_cancel = false;
        }
        ~BusyGuard() {
            z.m_busy = was;
            z.m_cancel = false;
        }
    } busy(*this);

    // Read the directory, retrying an incomplete archive while a handler may change the
    // mode; then once more, so that an archive still incomplete reaches the caller.
    for (;;) {
        try {
            ReadZip();
            break;
        } catch (const EIncompleteZip&) {
            CloseArchive();
            if (!OnInCompleteZip) break;
        } catch (...) {
            Reset(false);
            throw;
        }
    }
    try {
        ReadZip();
    } catch (const EIncompleteZip&) {
        CloseArchive();
        throw;
    } catch (...) {
        Reset(false);
        throw;
    }
    const int count = ExtractRun();
    if (!KeepZipOpen) CloseArchive();
    return count;
}

bool TUnZipper::Selected(const TZipHeaderInfo& entry) const {
    if (entry.IsDirectory() && !RecreateDirs) return false;
    if (DoAll) return true;
    const std::string name = AsciiLower(entry.Directory + entry.FileName);
    for (const auto& pattern : m_filesList)
        if (MatchPattern(AsciiLower(pattern), name)) return true;
    return false;
}

int TUnZipper::ExtractRun() {
    const bool keepOpen = KeepZipOpen;
    KeepZipOpen = true;
    const TZipSortMode sortMode = m_sortMode;
    int extracted = 0;
    auto cleanUp = [&] {
        m_input.clear();
        m_input.shrink_to_fit();
        m_output.clear();
        m_output.shrink_to_fit();
        m_filesList.clear();
        if (m_sortMode != sortMode) setSortMode(sortMode);
        KeepZipOpen = keepOpen;
        if (OnUnZipComplete) OnUnZipComplete(this, extracted);
    };
    try {
        m_input.assign(kChunk + 1, 0);
        m_output.assign(kChunk + 1, 0);
        if (!m_destDir.empty() && !IsDirectory(m_destDir)) ForceDirectories(m_destDir);
        if (MultiMode() != TMultiMode::mmNone && m_sortMode != TZipSortMode::ByNone) setSortMode(TZipSortMode::ByNone);
        m_totalSize = m_totalDone = 0;

        std::vector<int> selected;
        for (int i = 0; i < Count(); ++i) {
            CheckCancel();
            const TZipHeaderInfo& entry = Entry(i);
            if (!Selected(entry)) continue;
            selected.push_back(i);
            m_totalSize += entry.UncompressedSize();
        }
        bool stop = false;
        if (OnStartUnZipInfo) OnStartUnZipInfo(this, static_cast<int>(selected.size()), m_totalSize, stop);
        if (!selected.empty() && !stop) {
            for (int index : selected) {
                CheckCancel();
                if (ExtractEntry(index, Entry(index))) ++extracted;
            }
        }
    } catch (...) {
        cleanUp();
        throw;
    }
    cleanUp();
    return extracted;
}

int TUnZipper::ReadChunk(unsigned char* buffer, std::uint64_t& left) {
    CheckCancel();
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, left));
    const std::size_t got = std::fread(buffer, 1, want, m_file);
    if (got < want) throw EFatalUnzipError(text::kPrematureEnd);
    left -= got;
    return static_cast<int>(got);
}

void TUnZipper::FlushOutput(int fd, const unsigned char* data, std::size_t length) {
    if (m_entryDone + length > m_entrySize) throw EBiggerThanUncompressed(text::kBiggerThanUncompressed);
    std::size_t written = 0;
    while (written < length) {
        const ssize_t n = ::write(fd, data + written, length - written);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) continue;
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    if (written < length) throw ECantWriteUCF(text::kCantWriteUCF);
    m_crc = Crc32Update(m_crc, data, length);
    m_entryDone += length;
    m_totalDone += length;
    if (OnFilePercentDone) OnFilePercentDone(this, Percent(m_entryDone, m_entrySize));
    if (OnTotalPercentDone) OnTotalPercentDone(this, Percent(m_totalDone, m_totalSize));
}

void TUnZipper::Decode(const TZipHeaderInfo& entry, int fd) {
    std::uint64_t left = entry.CompressedSize();
    switch (entry.CompressionMethod) {
    case kMethodStored:
        while (left > 0) {
            const int n = ReadChunk(m_output.data(), left);
            FlushOutput(fd, m_output.data(), static_cast<std::size_t>(n));
        }
        return;
    case kMethodDeflated: {
        z_stream z{};
        if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw EZCompressionError(text::kZlibError);
        struct End {
            z_stream& z;
            ~End() { inflateEnd(&z); }
        } end{z};
        z.next_out = m_output.data();
        z.avail_out = kChunk;
        for (;;) {
            if (z.avail_in == 0) {
                // The compressed data is used up before the stream's end: the entry is cut
                // off, as a stored entry whose data ends early.
                if (left == 0) throw EFatalUnzipError(text::kPrematureEnd);
                z.avail_in = static_cast<uInt>(ReadChunk(m_input.data(), left));
                z.next_in = m_input.data();
            }
            const int result = inflate(&z, Z_NO_FLUSH);
            if (result < 0 && result != Z_BUF_ERROR) throw EZCompressionError(text::kZlibError);
            if (z.avail_out == 0 || result == Z_STREAM_END) {
                FlushOutput(fd, m_output.data(), kChunk - z.avail_out);
                z.next_out = m_output.data();
                z.avail_out = kChunk;
            }
            if (result == Z_STREAM_END) return;
        }
    }
    case kMethodShrunk:
    case 2:
    case 3:
    case 4:
    case 5:
    case kMethodImploded: {
        std::size_t position = 0, available = 0;
        LegacyIo io;
        io.NextByte = [&]() -> int {
            if (position == available) {
                if (left == 0) return -1;
                available = static_cast<std::size_t>(ReadChunk(m_input.data(), left));
                position = 0;
            }
            return m_input[position++];
        };
        io.Put = [&](const unsigned char* data, std::size_t length) { FlushOutput(fd, data, length); };
        const std::uint64_t size = entry.UncompressedSize();
        if (entry.CompressionMethod == kMethodShrunk) Unshrink(io, size);
        else if (entry.CompressionMethod == kMethodImploded) Explode(io, entry.Flag, size);
        else Unreduce(io, entry.CompressionMethod - 1, size);
        return;
    }
    default: ShowMessage(0, text::kUnknownMethod, MB_OK, text::kZipErrorCaption); return;
    }
}

bool TUnZipper::ExtractEntry(int index, TZipHeaderInfo entry) {
    std::uint16_t localNameLength = 0, localExtraLength = 0;
    if (!entry.IsDirectory()) {
        if (MultiMode() != TMultiMode::mmNone && entry.DiskStart() != m_currentDisk) SwitchDisk(entry.DiskStart());
        unsigned char local[kLocalHeaderSize];
        if (!Seek(m_file, entry.RelativeOffset()) || !ReadExactly(m_file, local, sizeof local))
            throw EFatalUnzipError(text::kPrematureEnd);
        localNameLength = Get16(local + 26);
        localExtraLength = Get16(local + 28);
    }

    // The target folder and path, never outside DestDir.
    auto skip = [&](TSkipReason reason, const std::string& name) {
        bool retry = false;
        if (OnSkippingFile) OnSkippingFile(this, reason, name, index, retry);
        m_totalSize -= std::min(m_totalSize, entry.UncompressedSize());
        return false;
    };
    std::vector<std::string> folderParts;
    std::string directory = entry.Directory;
    if (RecreateDirs && !directory.empty()) {
        if (!m_relativePathList.empty()) {
            for (const auto& prefix : m_relativePathList) {
                if (AsciiLower(directory).rfind(AsciiLower(prefix), 0) == 0) {
                    directory = directory.substr(prefix.size());
                    break;
                }
            }
        }
        if (directory.size() >= 2 && directory[1] == ':') directory = directory.substr(2);
        if (!SafeParts(directory, folderParts)) return skip(TSkipReason::srCreateError, entry.StoredName);
    }
    std::string folder = m_destDir;
    for (const auto& part : folderParts) folder += "/" + part;
    const bool unsafeName =
        entry.FileName == "." || entry.FileName == ".." || entry.FileName.find('\0') != std::string::npos ||
        entry.FileName.find('/') != std::string::npos || entry.StoredName.find('\0') != std::string::npos;

    if (entry.IsDirectory()) {
        if (!RecreateDirs) return false;
        const std::string path = folder.empty() ? "/" : folder;
        if (!IsDirectory(path) && !ForceDirectories(path)) return skip(TSkipReason::srCreateError, path);
        if (RetainAttributes) ApplyAttributes(path, entry, true);
        return true;
    }
    if (unsafeName) return skip(TSkipReason::srCreateError, entry.StoredName);

    std::string target = folder + "/" + entry.FileName;
    bool skipEntry = false;
    if (OnStartUnZip) OnStartUnZip(this, index, target, skipEntry);
    if (skipEntry) return false;
    const auto lastSlash = target.rfind('/');
    const std::string targetFolder = lastSlash == std::string::npos ? "" : target.substr(0, lastSlash);
    if (!targetFolder.empty() && !IsDirectory(targetFolder)) ForceDirectories(targetFolder);

    if (entry.IsEncrypted()) return skip(TSkipReason::srBadPassword, target);

    // An existing target.
    if (OverwriteMode != TUZOverwriteMode::Always && Exists(target)) {
        bool write = false;
        switch (OverwriteMode) {
        case TUZOverwriteMode::Prompt:
            if (OnPromptForOverwrite) {
                OnPromptForOverwrite(this, write, index, target);
            } else {
                write = ShowMessage(0, text::kReplaceExisting + entry.FileName + "?", MB_YESNO,
                                    text::kFileExistsCaption) == IDYES;
            }
            break;
        case TUZOverwriteMode::Never: break;
        case TUZOverwriteMode::ifNewer:
        case TUZOverwriteMode::ifOlder: {
            const auto existing = FileDosDateTime(target);
            const std::uint32_t mine = ValidateDosDateTime(entry.ModDateTime);
            if (existing) write = OverwriteMode == TUZOverwriteMode::ifNewer ? mine > *existing : mine < *existing;
            break;
        }
        case TUZOverwriteMode::Always: write = true; break;
        }
        if (!write) return skip(TSkipReason::srNoOverwrite, target);
    }

    // Create the target (never through a symbolic link) at its final size.
    // A file without write permission counts as read-only for every user, root included,
    // as the read-only attribute does.
    auto readOnly = [&target] {
        struct stat st {};
        return ::lstat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0;
    };
    int fd = -1;
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (!readOnly()) fd = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0 || attempt > 0 || !ReplaceReadOnly) break;
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) break;
        ::chmod(target.c_str(), (st.st_mode & 07777) | S_IWUSR);
    }
    if (fd < 0) return skip(TSkipReason::srCreateError, target);
    const std::uint64_t size = entry.UncompressedSize();
    if (size > static_cast<std::uint64_t>(INT64_MAX) || ::ftruncate(fd, static_cast<off_t>(size)) != 0) {
        ::close(fd);
        ::unlink(target.c_str());
        return skip(TSkipReason::srCreateError, target);
    }

    m_entryDone = 0;
    m_entrySize = size;
    m_crc = 0xFFFFFFFFu;
    const std::uint64_t dataStart = entry.RelativeOffset() + kLocalHeaderSize + localNameLength + localExtraLength;
    bool completed = false;
    try {
        if (!Seek(m_file, dataStart)) throw EFatalUnzipError(text::kPrematureEnd);
        Decode(entry, fd);
        completed = true;
    } catch (const EBiggerThanUncompressed&) {
    } catch (const ECanceledUnzipToBuffer&) {
    } catch (...) {
        ::close(fd);
        throw;
    }
    if (FlushFilesOnClose) ::fsync(fd);
    ::close(fd);
    if (completed) {
        SetFileTime(target, entry.ModDateTime);
        if (RetainAttributes) ApplyAttributes(target, entry, false);
    }
    const std::uint32_t crc = ~m_crc;
    if (completed && (entry.CRC32 == 0 || crc == entry.CRC32)) {
        if (OnEndUnZip) OnEndUnZip(this, index, target);
        return true;
    }
    if (entry.CRC32 != 0) {
        if (OnBadCRC) OnBadCRC(this, crc, entry.CRC32, index);
        ::unlink(target.c_str());
    }
    return false;
}

} // namespace quill::zip
