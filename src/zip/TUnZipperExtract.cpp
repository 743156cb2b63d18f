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
#include <sys/stat.h>
#include <unistd.h>

namespace quill::zip {

using posix::Exists;
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

} // namespace

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
            const auto existing = posix::FileDosDateTime(target);
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
