// The reader's directory: finding the end record, reading the central directory, the
// repair scan for archives whose directory cannot be trusted, and the cache of what was
// read.
#include "zip/TUnZipper.h"

#include "zip/PosixFiles.h"
#include "zip/ZipFormat.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace quill::zip {

using posix::ReadExactly;
using posix::Seek;
using posix::Tell;

namespace {

constexpr std::size_t kEndSearch = kMaxCommentLength + kEndCentralSize; // 65,557

} // namespace

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
    } else {
        // An AES block on an entry of another method means nothing: the entry stays as it
        // is stored, also when an update writes it again.
        entry->Aes.reset();
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
    // In repair mode, the entries found by the scan that no central header named yet.
    std::map<std::pair<std::uint32_t, std::uint64_t>, TZipHeaderInfo*> unmatched;
    auto startRepairMode = [&] {
        unmatched.clear();
        for (auto& found : m_entries)
            unmatched.emplace(std::make_pair(found->DiskStart(), found->RelativeOffset()), found.get());
    };
    if (m_repairing) startRepairMode();
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
            startRepairMode();
            Seek(file, m_endCentral.CentralDirectoryOffset());
            continue;
        }
        const std::uint64_t skip = static_cast<std::uint64_t>(entry->ExtraFieldLength) + entry->FileCommentLength;
        if (m_repairing) {
            // Each entry found by the scan takes the first central header that names it.
            const auto match = unmatched.find({entry->DiskStart(), entry->RelativeOffset()});
            if (match != unmatched.end()) {
                TZipHeaderInfo* found = match->second;
                unmatched.erase(match);
                const std::uint16_t localExtra = found->LocalExtraFieldLength;
                const std::uint64_t keepOffset = found->RelativeOffset();
                *found = *entry;
                found->LocalExtraFieldLength = localExtra;
                found->NarrowRelativeOffset =
                    static_cast<std::uint32_t>(std::min<std::uint64_t>(keepOffset, 0xFFFFFFFFu));
                if (keepOffset >= 0xFFFFFFFFu) {
                    if (!found->Zip64) found->Zip64 = TZip64Info{};
                    found->Zip64->RelativeOffset = keepOffset;
                }
                found->MatchFlag = true;
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
            startRepairMode();
            Seek(file, m_endCentral.CentralDirectoryOffset());
            continue;
        }
        previous = entry.get();
        m_entries.push_back(std::move(entry));
        Seek(file, Tell(file) + skip);
    }
    if (m_repairing) {
        // Drop the central entries that were read only to be matched.
        std::set<const TZipHeaderInfo*> listed;
        for (std::size_t k = 0; k < m_list->size(); ++k) listed.insert((*m_list)[k]);
        std::vector<std::unique_ptr<TZipHeaderInfo>> kept;
        for (auto& owned : m_entries)
            if (listed.count(owned.get())) kept.push_back(std::move(owned));
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
    m_improperZip = false;
    // The stamp of the file actually read, taken before reading: a change meanwhile makes
    // the next operation read it again.
    const auto stamp = posix::StampOf(fileno(m_file));
    m_directoryStamp.reset();

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
    m_directoryStamp = stamp;
}

bool TUnZipper::DirectoryIsCurrent() {
    if (!m_list) return false;
    // Another program may rewrite the archive within one two-second DOS step: the size,
    // the times to the nanosecond and the inode tell such a change too.
    return m_directoryStamp && posix::StampOf(m_zipName) == m_directoryStamp;
}

void TUnZipper::ReadZip() {
    if (DirectoryIsCurrent()) {
        OpenArchive();
        return;
    }
    // An archive kept open may be a file that another program has replaced since: the
    // directory is read from the file that now has the name.
    CloseArchive();
    OpenArchive();
    ReadDirectory();
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

} // namespace quill::zip
