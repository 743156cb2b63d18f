// Extraction: selecting entries, and for each one its target path, the overwrite
// decision, creating the target, decoding, verifying and finishing it.
#include "zip/TUnZipper.h"

#include "zip/LegacyDecoders.h"
#include "zip/PosixFiles.h"
#include "zip/ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quill::zip {

using posix::ForceDirectories;
using posix::IsDirectory;
using posix::ReadExactly;
using posix::SafeParts;
using posix::Seek;

namespace {

constexpr std::size_t kChunk = 32768;

// The file system mode for an entry's attributes: the Unix mode a Unix archiver stored
// in the high half (without set-id and sticky bits), else the DOS read-only bit.
mode_t ModeFromAttributes(const TZipHeaderInfo& entry, mode_t current) {
    const std::uint32_t attributes = entry.ExternalAttributes;
    const std::uint32_t unixMode = attributes >> 16;
    if ((entry.VersionMadeBy >> 8) == 3 && unixMode != 0) return static_cast<mode_t>(unixMode & 0777);
    if (attributes & 0x01) return current & ~static_cast<mode_t>(0222);
    return current;
}

// Attributes and times go on the open descriptor: a path could meanwhile name something
// else (a symbolic link swapped in), and that must never be changed.
void ApplyAttributes(int fd, const TZipHeaderInfo& entry, bool folder) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    mode_t mode = ModeFromAttributes(entry, st.st_mode & 07777);
    // A folder stays open to its owner, so that what follows can still be written into it.
    if (folder) mode |= S_IRWXU;
    ::fchmod(fd, mode);
}

void SetFileTime(int fd, std::uint32_t dosDateTime) {
    const std::time_t t = DosDateTimeToTime(ValidateDosDateTime(dosDateTime));
    struct timespec times[2];
    times[0].tv_sec = t;
    times[0].tv_nsec = 0;
    times[1] = times[0];
    ::futimens(fd, times);
}

// The parts of path below the destination folder; nullopt when path does not lie below
// it (a target that an OnStartUnZip handler moved elsewhere, or one with a ".." part).
std::optional<std::vector<std::string>> PartsBelow(const std::string& destDir, const std::string& path) {
    std::vector<std::string> parts;
    if (path == destDir) return parts;
    if (path.size() <= destDir.size() || path.compare(0, destDir.size(), destDir) != 0 || path[destDir.size()] != '/')
        return std::nullopt;
    std::size_t at = destDir.size() + 1;
    while (at <= path.size()) {
        std::size_t next = path.find('/', at);
        if (next == std::string::npos) next = path.size();
        const std::string part = path.substr(at, next - at);
        at = next + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") return std::nullopt;
        parts.push_back(part);
    }
    return parts;
}

} // namespace

int TUnZipper::OpenFolder(const std::string& folder) const {
    // Below the destination no part is followed if it is a symbolic link: a link planted
    // there (to "../outside", say) would carry the entry out of the destination. The
    // destination itself, and a folder outside it that a handler chose, are opened as named.
    const auto parts = PartsBelow(m_destDir, folder);
    if (!parts) {
        if (!IsDirectory(folder)) ForceDirectories(folder);
        return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    posix::Fd dest(::open(m_destDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dest.get() < 0) return -1;
    return posix::OpenFolderBelow(dest.get(), *parts, true);
}

TUnZipper::TargetPlace TUnZipper::PlaceOf(const std::string& target) const {
    TargetPlace place;
    const auto lastSlash = target.rfind('/');
    place.folder.reset(OpenFolder(lastSlash == std::string::npos ? "."
                                  : lastSlash == 0               ? "/"
                                                                 : target.substr(0, lastSlash)));
    place.name = target.substr(lastSlash == std::string::npos ? 0 : lastSlash + 1);
    return place;
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
        m_claimed.clear();
        if (m_sortMode != sortMode) setSortMode(sortMode);
        KeepZipOpen = keepOpen;
        if (OnUnZipComplete) OnUnZipComplete(this, extracted);
    };
    try {
        m_input.assign(kChunk + 1, 0);
        m_output.assign(kChunk + 1, 0);
        if (!IsDirectory(m_destDir)) ForceDirectories(m_destDir);
        if (MultiMode() != TMultiMode::mmNone && m_sortMode != TZipSortMode::ByNone) setSortMode(TZipSortMode::ByNone);
        m_totalSize = m_totalDone = 0;
        m_claimed.clear();

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
    // Output beyond the entry's size is cut off there: the target holds the bytes that fit
    // (it is never filled up to its size with anything but decoded data).
    const bool bigger = m_entryDone + length > m_entrySize;
    if (bigger) length = static_cast<std::size_t>(m_entrySize - m_entryDone);
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
    if (bigger) throw EBiggerThanUncompressed(text::kBiggerThanUncompressed);
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
            if (z.avail_in == 0 && left > 0) {
                z.avail_in = static_cast<uInt>(ReadChunk(m_input.data(), left));
                z.next_in = m_input.data();
            }
            // With the input used up, the stream may still hold output (the last bytes of
            // a highly compressed entry can fill several chunks).
            const int result = inflate(&z, Z_NO_FLUSH);
            // The compressed data is used up before the stream's end: the entry is cut off,
            // as a stored entry whose data ends early.
            if (result == Z_BUF_ERROR && z.avail_in == 0 && left == 0) throw EFatalUnzipError(text::kPrematureEnd);
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

bool TUnZipper::SkipEntry(int index, const TZipHeaderInfo& entry, TSkipReason reason, const std::string& name) {
    bool retry = false;
    if (OnSkippingFile) OnSkippingFile(this, reason, name, index, retry);
    m_totalSize -= std::min(m_totalSize, entry.UncompressedSize());
    return false;
}

std::uint64_t TUnZipper::DataStart(const TZipHeaderInfo& entry) {
    if (MultiMode() != TMultiMode::mmNone && entry.DiskStart() != m_currentDisk) SwitchDisk(entry.DiskStart());
    unsigned char local[kLocalHeaderSize];
    if (!Seek(m_file, entry.RelativeOffset()) || !ReadExactly(m_file, local, sizeof local))
        throw EFatalUnzipError(text::kPrematureEnd);
    return entry.RelativeOffset() + kLocalHeaderSize + Get16(local + 26) + Get16(local + 28);
}

bool TUnZipper::TargetFolder(const TZipHeaderInfo& entry, std::string& folder) const {
    std::vector<std::string> parts;
    std::string directory = entry.Directory;
    if (RecreateDirs && !directory.empty()) {
        for (const auto& prefix : m_relativePathList) {
            if (AsciiLower(directory).rfind(AsciiLower(prefix), 0) == 0) {
                directory = directory.substr(prefix.size());
                break;
            }
        }
        if (directory.size() >= 2 && directory[1] == ':') directory = directory.substr(2);
        if (!SafeParts(directory, parts)) return false;
    }
    folder = m_destDir;
    for (const auto& part : parts) folder += "/" + part;
    return true;
}

bool TUnZipper::ExtractFolder(int index, const TZipHeaderInfo& entry, const std::string& folder) {
    posix::Fd fd(OpenFolder(folder));
    if (fd.get() < 0) return SkipEntry(index, entry, TSkipReason::srCreateError, folder);
    if (RetainAttributes) ApplyAttributes(fd.get(), entry, true);
    return true;
}

bool TUnZipper::ClaimDataRange(const TZipHeaderInfo& entry, std::uint64_t dataStart) {
    // Entries whose headers and data overlap each other let a small archive expand to any
    // size: the second entry that reaches into a range already extracted is refused.
    const std::pair<std::uint32_t, std::uint64_t> key{entry.DiskStart(), entry.RelativeOffset()};
    const std::uint64_t end = std::max(dataStart, dataStart + entry.CompressedSize());
    auto after = m_claimed.lower_bound(key);
    if (after != m_claimed.end() && after->first.first == key.first && after->first.second < end) return false;
    if (after != m_claimed.begin()) {
        const auto before = std::prev(after);
        if (before->first.first == key.first && before->second > key.second) return false;
    }
    m_claimed.emplace(key, end);
    return true;
}

bool TUnZipper::MayWrite(int index, const TZipHeaderInfo& entry, std::string& target, const TargetPlace& place) {
    struct stat st {};
    if (OverwriteMode == TUZOverwriteMode::Always ||
        ::fstatat(place.folder.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return true;
    bool write = false;
    switch (OverwriteMode) {
    case TUZOverwriteMode::Prompt:
        if (OnPromptForOverwrite) {
            OnPromptForOverwrite(this, write, index, target);
        } else {
            write = ShowMessage(0, text::kReplaceExisting + entry.FileName + "?", MB_YESNO, text::kFileExistsCaption) ==
                    IDYES;
        }
        break;
    case TUZOverwriteMode::Never: break;
    case TUZOverwriteMode::ifNewer:
    case TUZOverwriteMode::ifOlder: {
        const std::uint32_t mine = ValidateDosDateTime(entry.ModDateTime);
        if (::fstatat(place.folder.get(), place.name.c_str(), &st, 0) == 0) {
            const std::uint32_t existing = TimeToDosDateTime(st.st_mtime);
            write = OverwriteMode == TUZOverwriteMode::ifNewer ? mine > existing : mine < existing;
        }
        break;
    }
    case TUZOverwriteMode::Always: write = true; break;
    }
    return write;
}

int TUnZipper::CreateTarget(const TargetPlace& place) {
    // A replaced target is a new file: the old name is removed and the file created
    // exclusively, never through a link. Writing through an existing name would reach
    // whatever a hard link planted there shares its data with.
    const int folder = place.folder.get();
    const char* name = place.name.c_str();
    struct stat st {};
    if (::fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISDIR(st.st_mode)) {
        // A file without write permission counts as read-only for every user, root
        // included, as the read-only attribute does.
        if (S_ISREG(st.st_mode) && (st.st_mode & 0222) == 0 && !ReplaceReadOnly) return -1;
        if (::unlinkat(folder, name, 0) != 0) return -1;
    }
    return ::openat(folder, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
}

bool TUnZipper::DecodeTarget(const TZipHeaderInfo& entry, std::uint64_t dataStart, int fd) {
    m_entryDone = 0;
    m_entrySize = entry.UncompressedSize();
    m_crc = 0xFFFFFFFFu;
    try {
        if (!Seek(m_file, dataStart)) throw EFatalUnzipError(text::kPrematureEnd);
        Decode(entry, fd);
        return true;
    } catch (const EBiggerThanUncompressed&) {
    } catch (const ECanceledUnzipToBuffer&) {
    }
    return false;
}

void TUnZipper::FinishTarget(int fd, const TZipHeaderInfo& entry, bool completed) {
    if (completed) {
        // The date before the attributes, so that a read-only file still gets its date.
        SetFileTime(fd, entry.ModDateTime);
        if (RetainAttributes) ApplyAttributes(fd, entry, false);
    }
    if (FlushFilesOnClose) ::fsync(fd);
}

bool TUnZipper::VerifyTarget(int index, const TZipHeaderInfo& entry, const std::string& target,
                             const TargetPlace& place, bool completed) {
    const std::uint32_t crc = ~m_crc;
    // A target never stays longer or shorter than its entry says without counting as
    // failed: a size that the data does not fill would otherwise pass as extracted.
    const bool sized = m_entryDone == entry.UncompressedSize();
    if (completed && sized && (entry.CRC32 == 0 || crc == entry.CRC32)) {
        if (OnEndUnZip) OnEndUnZip(this, index, target);
        return true;
    }
    if (entry.CRC32 != 0 && crc != entry.CRC32 && OnBadCRC) OnBadCRC(this, crc, entry.CRC32, index);
    if (entry.CRC32 != 0 || (completed && !sized)) ::unlinkat(place.folder.get(), place.name.c_str(), 0);
    return false;
}

bool TUnZipper::ExtractEntry(int index, TZipHeaderInfo entry) {
    const std::uint64_t dataStart = entry.IsDirectory() ? 0 : DataStart(entry);
    std::string folder;
    if (!TargetFolder(entry, folder)) return SkipEntry(index, entry, TSkipReason::srCreateError, entry.StoredName);
    if (entry.IsDirectory()) return RecreateDirs && ExtractFolder(index, entry, folder);
    const bool unsafeName =
        entry.FileName == "." || entry.FileName == ".." || entry.FileName.find('\0') != std::string::npos ||
        entry.FileName.find('/') != std::string::npos || entry.StoredName.find('\0') != std::string::npos;
    if (unsafeName) return SkipEntry(index, entry, TSkipReason::srCreateError, entry.StoredName);

    std::string target = folder + "/" + entry.FileName;
    bool skip = false;
    if (OnStartUnZip) OnStartUnZip(this, index, target, skip);
    if (skip) return false;
    // Everything below is done relative to the target's folder, opened once: its path could
    // meanwhile lead elsewhere.
    TargetPlace place = PlaceOf(target);
    if (place.folder.get() < 0) return SkipEntry(index, entry, TSkipReason::srCreateError, target);
    if (entry.IsEncrypted()) return SkipEntry(index, entry, TSkipReason::srBadPassword, target);
    // An entry overlapping one already extracted is refused as a file that cannot be made.
    if (!ClaimDataRange(entry, dataStart)) return SkipEntry(index, entry, TSkipReason::srCreateError, target);
    const std::string asked = target;
    if (!MayWrite(index, entry, target, place)) return SkipEntry(index, entry, TSkipReason::srNoOverwrite, target);
    // The overwrite prompt's handler may have named another target.
    if (target != asked) place = PlaceOf(target);
    if (place.folder.get() < 0) return SkipEntry(index, entry, TSkipReason::srCreateError, target);

    posix::Fd fd(CreateTarget(place));
    if (fd.get() < 0) return SkipEntry(index, entry, TSkipReason::srCreateError, target);
    // The target grows with the data decoded, so that it is never longer than that data,
    // also when decoding stops early.
    const bool completed = DecodeTarget(entry, dataStart, fd.get());
    FinishTarget(fd.get(), entry, completed && m_entryDone == entry.UncompressedSize());
    fd.Close();
    return VerifyTarget(index, entry, target, place, completed);
}

} // namespace quill::zip
