#include "zip/TZipper.h"

#include "zip/PosixFiles.h"
#include "zip/ZipFormat.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <glob.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>

namespace quill::zip {
namespace {

constexpr std::size_t kStoreBlock = 32768;
constexpr std::size_t kDeflateBlock = 65535;
constexpr std::uint64_t kNarrow = 0xFFFFFFFFu;

bool EqualIgnoringAsciiCase(const std::string& a, const std::string& b) { return AsciiLower(a) == AsciiLower(b); }

std::string BaseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
}

bool HasWildcard(const std::string& s) { return s.find_first_of("*?") != std::string::npos; }

// Temporary archives of updates are named so, with six characters of mkstemp after it.
constexpr const char* kTempPrefix = "ARX";

// An update killed before it could remove its temporary file leaves it behind for ever.
// Such files of this user are removed: named as ours, not locked by a running update, and
// untouched for a minute (so that one just created and not yet locked stays).
void RemoveStaleTemporaries(const std::string& folder) {
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return;
    const uid_t uid = ::getuid();
    const std::time_t now = std::time(nullptr);
    while (const dirent* item = ::readdir(dir)) {
        const std::string name = item->d_name;
        if (name.size() != 9 || name.rfind(kTempPrefix, 0) != 0) continue;
        const std::string path = folder + "/" + name;
        posix::Fd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != uid) continue;
        if (now - st.st_mtime < 60 || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) continue;
        ::unlink(path.c_str());
    }
    ::closedir(dir);
}

// A length the format keeps in 16 bits. A longer name, extra field or comment is refused:
// cut short it would make the archive's headers lie about what follows them.
std::uint16_t Length16(std::size_t length, const char* what) {
    if (length > 0xFFFF) throw EZipperException(std::string(what) + " is too long for a zip archive");
    return static_cast<std::uint16_t>(length);
}

// Walks extra blocks and keeps all but the zip64 one and, for an AES entry, its AES one:
// the writer appends both afresh. On any other entry an AES block is kept as it stood.
std::string CarriedExtraBlocks(const std::string& extra, bool aesEntry) {
    std::string kept;
    std::size_t at = 0;
    while (at + 4 <= extra.size()) {
        const auto* p = reinterpret_cast<const unsigned char*>(extra.data() + at);
        const std::uint16_t id = Get16(p);
        const std::size_t end = std::min(extra.size(), at + 4 + Get16(p + 2));
        if (id != kZip64ExtraId && !(id == kAesExtraId && aesEntry)) kept += extra.substr(at, end - at);
        at = end;
    }
    return kept;
}

void AppendZip64(std::string& out, const std::vector<std::uint64_t>& wide, bool disk, std::uint32_t diskValue) {
    const std::size_t size = wide.size() * 8 + (disk ? 4 : 0);
    unsigned char header[4];
    Put16(header, kZip64ExtraId);
    Put16(header + 2, static_cast<std::uint16_t>(size));
    out.append(reinterpret_cast<char*>(header), 4);
    for (std::uint64_t v : wide) {
        unsigned char b[8];
        Put64(b, v);
        out.append(reinterpret_cast<char*>(b), 8);
    }
    if (disk) {
        unsigned char b[4];
        Put32(b, diskValue);
        out.append(reinterpret_cast<char*>(b), 4);
    }
}

} // namespace

std::optional<std::uint32_t> FileAttributeWord(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    std::uint32_t word = S_ISDIR(st.st_mode) ? faDirectory : faArchive;
    if (::access(path.c_str(), W_OK) != 0 || (st.st_mode & 0222) == 0) word |= faReadOnly;
    const std::string name = BaseName(path);
    if (!name.empty() && name[0] == '.' && name != "." && name != "..") word |= faHidden;
    return word;
}

std::string PrivateTempFolder() {
    const uid_t uid = ::getuid();
    auto ownPrivateFolder = [uid](const std::string& folder) {
        struct stat st {};
        return ::lstat(folder.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid && (st.st_mode & 077) == 0;
    };
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime && ownPrivateFolder(runtime))
        return runtime;
    const std::string folder = "/tmp/quill-" + std::to_string(uid);
    ::mkdir(folder.c_str(), 0700);
    if (ownPrivateFolder(folder)) return folder;
    // Someone else holds that name: a fresh folder of our own.
    std::string pattern = folder + "-XXXXXX";
    if (::mkdtemp(pattern.data())) return pattern;
    return folder;
}

std::string TZipper::GrewPastLimitError(const std::string& path) {
    return "The file " + path + " grew past 4 GiB while it was being zipped; the archive was not changed.";
}

std::string TZipper::DamagedArchiveError(const std::string& path) {
    return "The archive " + path + " cannot be updated: its directory is damaged and had to be rebuilt from the " +
           "entries found in it. The archive was left as it was.";
}

std::string TZipper::ShortReadWarning(const std::string& path) {
    return "The file " + path + " gave fewer bytes than its size while it was being zipped; the archive holds what " +
           "was read.";
}

TZipper::TZipper() = default;

TZipper::~TZipper() {
    if (m_output) std::fclose(m_output);
}

void TZipper::setStorePaths(bool value) {
    m_storePaths = value;
    if (!value) {
        StoreVolumes = false;
        RelativePaths = false;
    }
}

void TZipper::WriteBlock(const void* data, std::size_t length) {
    if (length > 0 && std::fwrite(data, 1, length, m_output) < length)
        throw ENotEnoughRoom("Not enough room to write archive");
    m_written += length;
    CheckCancel();
}

void TZipper::SeekOutput(std::uint64_t position) {
    if (std::fflush(m_output) != 0 || fseeko(m_output, static_cast<off_t>(position), SEEK_SET) != 0)
        throw ENotEnoughRoom("Not enough room to write archive");
}

std::string TZipper::StoredName(TZipHeaderInfo& entry) {
    std::string stored;
    if (entry.CarriedOver) {
        stored = entry.StoredName;
    } else {
        std::string name = entry.Directory + entry.FileName;
        std::replace(name.begin(), name.end(), '\\', '/');
        std::optional<std::string> oem;
        if (entry.OEMConvert == TOEMConvert::oemFlexible) {
            oem = CharToOem(name);
            if (oem) {
                const auto back = OemToChar(*oem);
                if (!back || !EqualIgnoringAsciiCase(*back, name)) oem.reset();
            }
        }
        if (oem) {
            stored = *oem;
            entry.Flag &= static_cast<std::uint16_t>(~kFlagUtf8);
            entry.VersionMadeBy = 45;
        } else {
            // Names that are not UTF-8 (a file system may hold any bytes) are stored as they
            // are, without the UTF-8 flag that readers would refuse them under. Version made
            // by 0x0B2D keeps them from being read as OEM text.
            stored = name;
            if (IsValidUtf8(name)) entry.Flag |= kFlagUtf8;
            else entry.Flag &= static_cast<std::uint16_t>(~kFlagUtf8);
            entry.VersionMadeBy = 0x0B2D;
        }
        entry.StoredName = stored;
    }
    std::replace(stored.begin(), stored.end(), '\\', '/');
    entry.FileNameLength = Length16(stored.size(), "A file name");
    return stored;
}

void TZipper::WriteLocalHeader(TZipHeaderInfo& entry, bool forceZip64Sizes) {
    const std::string name = StoredName(entry);
    const std::uint64_t uncompressed = entry.UncompressedSize(), compressed = entry.CompressedSize();
    const std::uint64_t offset = entry.RelativeOffset();
    const bool wideSizes = uncompressed >= kNarrow || forceZip64Sizes;
    std::vector<std::uint64_t> wide;
    if (wideSizes) wide.push_back(uncompressed);
    if (wideSizes || compressed >= kNarrow) wide.push_back(compressed);
    if (offset >= kNarrow) wide.push_back(offset);
    const bool wideDisk = entry.NarrowDiskStart == 0xFFFF;
    std::string zip64;
    if (!wide.empty() || wideDisk) AppendZip64(zip64, wide, wideDisk, entry.DiskStart());

    entry.VersionNeeded = zip64.empty() ? 20 : 45;
    unsigned char h[kLocalHeaderSize];
    Put32(h, kLocalHeaderSignature);
    Put16(h + 4, entry.VersionNeeded);
    Put16(h + 6, entry.Flag);
    Put16(h + 8, entry.Aes ? kMethodAes : entry.CompressionMethod);
    Put32(h + 10, entry.ModDateTime);
    Put32(h + 14, entry.CRC32);
    Put32(h + 18, wideSizes || compressed >= kNarrow ? 0xFFFFFFFFu : static_cast<std::uint32_t>(compressed));
    Put32(h + 22, wideSizes ? 0xFFFFFFFFu : static_cast<std::uint32_t>(uncompressed));
    Put16(h + 26, entry.FileNameLength);
    Put16(h + 28, Length16(entry.LocalExtraFieldLength + zip64.size(), "An extra field"));
    WriteBlock(h, sizeof h);
    WriteBlock(name.data(), name.size());
    WriteBlock(zip64.data(), zip64.size());
}

std::uint64_t TZipper::ReadSource(int source, unsigned char* buffer, std::size_t size, std::uint64_t& read) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = ::read(source, buffer + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::size_t>(n);
    }
    m_crc = Crc32Update(m_crc, buffer, got);
    read += got;
    // A file that grew past what its local header can hold: the header was written without
    // room for zip64 sizes, so the entry cannot be finished without corrupting its data.
    if (read >= m_sizeLimit) throw EZipperException(GrewPastLimitError(m_sourcePath));
    m_done += got;
    if (OnFilePercentDone) OnFilePercentDone(this, Percent(read, m_fileSize));
    if (OnTotalPercentDone) OnTotalPercentDone(this, Percent(m_done, m_total));
    return got;
}

void TZipper::Store(int source, std::uint64_t& read) {
    std::vector<unsigned char> buffer(kStoreBlock);
    for (;;) {
        const std::uint64_t n = ReadSource(source, buffer.data(), buffer.size(), read);
        if (n == 0) break;
        WriteBlock(buffer.data(), static_cast<std::size_t>(n));
    }
}

void TZipper::Deflate(int source, std::uint64_t& read) {
    std::vector<unsigned char> in(kDeflateBlock), out(kDeflateBlock);
    z_stream z{};
    z.avail_in = static_cast<uInt>(ReadSource(source, in.data(), in.size(), read));
    z.next_in = in.data();
    if (deflateInit2(&z, PackLevel, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw EZCompressionError(text::kZlibError);
    struct End {
        z_stream& z;
        ~End() { deflateEnd(&z); }
    } end{z};
    int flush = Z_NO_FLUSH;
    if (z.avail_in == 0) flush = Z_FINISH;
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    for (;;) {
        if (z.avail_in == 0 && flush == Z_NO_FLUSH) {
            z.avail_in = static_cast<uInt>(ReadSource(source, in.data(), in.size(), read));
            z.next_in = in.data();
            if (z.avail_in == 0) flush = Z_FINISH;
        }
        const int result = deflate(&z, flush);
        if (result < 0 && result != Z_BUF_ERROR) throw EZCompressionError(text::kZlibError);
        if (z.avail_out == 0 || flush == Z_FINISH) {
            WriteBlock(out.data(), out.size() - z.avail_out);
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
        }
        if (result == Z_STREAM_END) break;
    }
}

bool TZipper::AddFile(const std::string& path) {
    auto entry = std::make_unique<TZipHeaderInfo>();
    entry->VersionMadeBy = 45;
    entry->CRC32 = 0xFFFFFFFFu;
    entry->InternalAttributes = 1;
    entry->ExternalAttributes = faArchive;
    entry->OEMConvert = OEMConvert;
    auto skip = [&](TSkipReason reason) {
        bool retry = false;
        if (OnSkippingFile) OnSkippingFile(this, reason, path, -1, retry);
        return retry;
    };
    const auto attributes = FileAttributeWord(path);
    if (!attributes || (*attributes & faDirectory)) {
        if (OnNoSuchFile) OnNoSuchFile(this, path);
        return false;
    }
    entry->ExternalAttributes = *attributes;
    posix::Fd source;
    for (;;) {
        // Without O_NONBLOCK a FIFO would wait for a writer for ever; it is refused below.
        source.reset(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
        if (source.get() >= 0) break;
        if (!skip(TSkipReason::srFileOpenError)) return false;
    }
    struct stat st {};
    if (::fstat(source.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        skip(TSkipReason::srFileOpenError);
        return false;
    }
    const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
    m_fileSize = size;
    entry->ModDateTime = TimeToDosDateTime(st.st_mtime);
    entry->FileName = BaseName(path);
    if (m_storePaths) {
        std::string folder = FolderOf(path);
        if (RelativePaths && !RootDir().empty()) {
            std::string root = RootDir();
            std::replace(root.begin(), root.end(), '\\', '/');
            if (AsciiLower(folder + "/").rfind(AsciiLower(root), 0) == 0) folder = (folder + "/").substr(root.size());
        }
        while (!folder.empty() && folder[0] == '/') folder.erase(0, 1);
        if (!folder.empty() && folder != "." && folder.back() != '/') folder += '/';
        if (folder == ".") folder.clear();
        std::replace(folder.begin(), folder.end(), '/', '\\');
        entry->Directory = folder;
    }
    const std::uint64_t offset = static_cast<std::uint64_t>(ftello(m_output));
    entry->SetRelativeOffset(offset);
    entry->InternalAttributes = 0;
    entry->NarrowDiskStart = static_cast<std::uint16_t>(CurrentDisk());

    if (m_byName->Contains(*entry)) {
        skip(TSkipReason::srNoOverwrite);
        m_total -= std::min(m_total, size);
        return false;
    }
    bool skipFile = false;
    if (OnStartZip) OnStartZip(this, path, *entry, skipFile);
    if (skipFile) {
        skip(TSkipReason::srSkippedInStartZip);
        return false;
    }
    bool storing = PackLevel == 0;
    for (const auto& pattern : NoCompressList)
        if (MatchPattern(AsciiLower(pattern), AsciiLower(entry->FileName))) storing = true;
    entry->CompressionMethod = storing ? kMethodStored : kMethodDeflated;
    entry->SetUncompressedSize(size);
    entry->SetCompressedSize(0);
    // The final header must take the room of the preliminary one: when the deflated data
    // could reach 4 GiB, both sizes go into a zip64 field from the start.
    const std::uint64_t limit = NarrowSizeLimit();
    const bool wideSizes = size + size / 100 + 65536 >= limit;
    m_sizeLimit = wideSizes ? UINT64_MAX : limit;
    m_sourcePath = path;
    WriteLocalHeader(*entry, wideSizes);
    const std::uint64_t dataStart = static_cast<std::uint64_t>(ftello(m_output));
    m_crc = 0xFFFFFFFFu;
    std::uint64_t read = 0;
    if (storing) Store(source.get(), read);
    else Deflate(source.get(), read);
    if (read < size) ShowMessage(208, ShortReadWarning(path), MB_OK, path);
    const std::uint64_t dataEnd = static_cast<std::uint64_t>(ftello(m_output));
    if (dataEnd - dataStart >= m_sizeLimit) throw EZipperException(GrewPastLimitError(path));
    entry->SetUncompressedSize(read);
    entry->SetCompressedSize(dataEnd - dataStart);
    entry->CRC32 = ~m_crc;
    if (PackLevel <= 2) entry->Flag |= 0x0004;
    if (PackLevel >= 8) entry->Flag |= 0x0002;
    const std::uint64_t written = m_written;
    SeekOutput(offset);
    WriteLocalHeader(*entry, wideSizes);
    SeekOutput(dataEnd);
    m_written = written;
    source.Close();
    if (OnEndZip) OnEndZip(this, path, read, dataEnd - dataStart, dataEnd);
    m_byName->Add(entry.get());
    m_byPosition->Add(entry.get());
    m_newEntries.push_back(std::move(entry));
    ++m_added;
    return true;
}

void TZipper::ExpandList() {
    std::vector<std::string> lines;
    for (const std::string& line : FilesList()) {
        std::string path = line;
        std::replace(path.begin(), path.end(), '\\', '/');
        if (path.find('/') == std::string::npos && !RootDir().empty()) {
            std::string root = RootDir();
            std::replace(root.begin(), root.end(), '\\', '/');
            path = root + path;
        }
        if (HasWildcard(path)) {
            glob_t found{};
            if (::glob(path.c_str(), 0, nullptr, &found) == 0)
                for (std::size_t i = 0; i < found.gl_pathc; ++i) lines.push_back(found.gl_pathv[i]);
            ::globfree(&found);
        } else {
            lines.push_back(path);
        }
    }
    bool olderRead = false;
    std::unordered_set<std::string> olderNames;
    std::vector<std::string> kept;
    m_total = 0;
    for (const std::string& path : lines) {
        bool excluded = false;
        for (const auto& pattern : ExcludeList)
            if (MatchPattern(AsciiLower(pattern), AsciiLower(path)) ||
                MatchPattern(AsciiLower(pattern), AsciiLower(BaseName(path))))
                excluded = true;
        bool retry = false;
        if (excluded) {
            if (OnSkippingFile) OnSkippingFile(this, TSkipReason::srExcludeList, path, -1, retry);
            continue;
        }
        // The file search finds files whose hidden, system and folder bits the mask allows.
        const auto attributes = FileAttributeWord(path);
        const std::uint32_t refused = ~m_searchMask & (faHidden | faSysFile | faVolumeID);
        if (!attributes || (*attributes & faDirectory) || (*attributes & refused)) {
            if (OnNoSuchFile) OnNoSuchFile(this, path);
            continue;
        }
        if (SkipIfArchiveBitNotSet && !(*attributes & faArchive)) {
            if (OnSkippingFile) OnSkippingFile(this, TSkipReason::srArchiveBitNotSet, path, -1, retry);
            continue;
        }
        if (ZipAction == TZipAction::zaFreshen) {
            bool inArchive = false;
            if (::access(ZipName().c_str(), F_OK) == 0) {
                if (!olderRead) {
                    ReadZip();
                    for (int i = 0; i < Count(); ++i)
                        olderNames.insert(AsciiLower(Entry(i).Directory + Entry(i).FileName));
                }
                olderRead = true;
                inArchive = olderNames.count(AsciiLower(BaseName(path))) > 0;
            }
            if (!inArchive) {
                if (OnSkippingFile) OnSkippingFile(this, TSkipReason::srNoFileToFreshen, path, -1, retry);
                continue;
            }
        }
        struct stat st {};
        ::stat(path.c_str(), &st);
        m_total += static_cast<std::uint64_t>(st.st_size);
        kept.push_back(path);
    }
    FilesList() = kept;
}

void TZipper::CreateOutput(const std::string& path) {
    m_output = std::fopen(path.c_str(), "wb");
    if (!m_output) throw EFOpenError("Cannot create file \"" + path + "\". " + std::strerror(errno));
    m_outputName = path;
    std::setvbuf(m_output, nullptr, _IOFBF, 8192);
    m_byName = std::make_unique<TSortedEntryList>(TZipSortMode::ByName, TDupeMode::dmError);
    m_byPosition = std::make_unique<TSortedEntryList>(TZipSortMode::ByNone, TDupeMode::dmError);
    m_newEnd = TEndCentral();
    if (m_updating) {
        m_newEnd.Comment = m_endCentral.Comment;
        m_newEnd.CommentLength = Length16(m_endCentral.Comment.size(), "The archive comment");
    }
}

void TZipper::CarryOver(TZipHeaderInfo& entry) {
    std::FILE* older = m_file;
    const std::uint64_t oldOffset = entry.RelativeOffset();
    unsigned char local[kLocalHeaderSize];
    if (fseeko(older, static_cast<off_t>(oldOffset), SEEK_SET) != 0 ||
        std::fread(local, 1, sizeof local, older) != sizeof local)
        throw EFatalUnzipError(text::kPrematureEnd);
    const std::uint16_t localName = Get16(local + 26);
    entry.LocalExtraFieldLength = Get16(local + 28);
    if (entry.ExtraFieldLength > 0) {
        std::string extra(entry.ExtraFieldLength, '\0');
        if (fseeko(older, static_cast<off_t>(entry.CentralExtraPosition), SEEK_SET) != 0)
            throw EFatalUnzipError(text::kPrematureEnd);
        extra.resize(std::fread(extra.data(), 1, extra.size(), older));
        entry.CarriedCentralExtra = CarriedExtraBlocks(extra, entry.Aes.has_value());
    }
    const std::uint64_t uncompressed = entry.UncompressedSize(), compressed = entry.CompressedSize();
    entry.Zip64.reset(); // a zip64 record that is not needed any more goes
    entry.SetUncompressedSize(uncompressed);
    entry.SetCompressedSize(compressed);
    entry.SetRelativeOffset(static_cast<std::uint64_t>(ftello(m_output)));
    // An encrypted entry keeps its flags: with bit 3 its password check byte is compared
    // with the time instead of the CRC, and clearing it would make the entry undecryptable.
    const bool encrypted = (entry.Flag & kFlagEncrypted) != 0;
    const bool descriptor = (entry.Flag & kFlagDataDescriptor) != 0;
    if (!encrypted) entry.Flag &= static_cast<std::uint16_t>(~kFlagDataDescriptor);
    entry.CarriedOver = true;
    WriteLocalHeader(entry, false);
    // The old local extra field and the data, byte for byte.
    if (fseeko(older, static_cast<off_t>(oldOffset + kLocalHeaderSize + localName), SEEK_SET) != 0)
        throw EFatalUnzipError(text::kPrematureEnd);
    std::uint64_t left = entry.LocalExtraFieldLength + compressed;
    // No larger than the entry: small entries are the rule, and each buffer is cleared.
    std::vector<unsigned char> buffer(static_cast<std::size_t>(std::min<std::uint64_t>(left, kDeflateBlock)));
    while (left > 0) {
        const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, buffer.size()));
        if (std::fread(buffer.data(), 1, want, older) != want) throw EFatalUnzipError(text::kPrematureEnd);
        WriteBlock(buffer.data(), want);
        left -= want;
    }
    if (encrypted && descriptor) CopyDataDescriptor(entry, uncompressed, compressed);
}

void TZipper::CopyDataDescriptor(const TZipHeaderInfo& entry, std::uint64_t uncompressed, std::uint64_t compressed) {
    // The descriptor that follows the data: an optional signature, the CRC-32 and both
    // sizes in 4 or (zip64) 8 bytes each. Only one that agrees with the directory is copied.
    unsigned char d[24] = {};
    const std::size_t got = std::fread(d, 1, sizeof d, m_file);
    const std::size_t signature = got >= 4 && Get32(d) == kDataDescriptorSignature ? 4 : 0;
    const unsigned char* values = d + signature;
    std::size_t length = 0;
    if (got >= signature + 12 && Get32(values) == entry.CRC32 &&
        Get32(values + 4) == static_cast<std::uint32_t>(compressed) &&
        Get32(values + 8) == static_cast<std::uint32_t>(uncompressed))
        length = signature + 12;
    else if (got >= signature + 20 && Get32(values) == entry.CRC32 && Get64(values + 4) == compressed &&
             Get64(values + 12) == uncompressed)
        length = signature + 20;
    WriteBlock(d, length);
}

void TZipper::UpdatePass() {
    // The lines by the stored name they would get; a name's lines are taken front to back,
    // and the lines not taken stay in FilesList in their order.
    auto& lines = FilesList();
    std::unordered_map<std::string, std::vector<std::size_t>> byName;
    for (std::size_t k = 0; k < lines.size(); ++k) byName[AsciiLower(BaseName(lines[k]))].push_back(k);
    std::unordered_map<std::string, std::size_t> taken;
    std::vector<bool> used(lines.size(), false);
    for (int i = 0; i < Count(); ++i) {
        CheckCancel();
        auto entry = std::make_unique<TZipHeaderInfo>(Entry(i));
        if (entry->FileCommentLength > 0 && entry->FileComment.empty()) {
            entry->FileComment.assign(entry->FileCommentLength, '\0');
            const std::uint64_t at =
                entry->HeaderPosition + kCentralHeaderSize + entry->FileNameLength + entry->ExtraFieldLength;
            if (fseeko(m_file, static_cast<off_t>(at), SEEK_SET) == 0)
                entry->FileComment.resize(std::fread(entry->FileComment.data(), 1, entry->FileComment.size(), m_file));
        }
        const std::string entryName = AsciiLower(entry->Directory + entry->FileName);
        std::optional<std::size_t> match;
        if (const auto found = byName.find(entryName); found != byName.end()) {
            std::size_t& next = taken[entryName];
            if (next < found->second.size()) match = found->second[next++];
        }
        bool replaced = false;
        if (match) {
            used[*match] = true;
            const std::string path = lines[*match];
            struct stat st {};
            const bool present = ::stat(path.c_str(), &st) == 0;
            bool replace = ZipAction == TZipAction::zaReplace;
            if (!replace && present) {
                // Newer at DOS precision: an entry of the same or a later time is kept.
                replace = ValidateDosDateTime(entry->ModDateTime) < TimeToDosDateTime(st.st_mtime);
            }
            if (replace) {
                if (OnUpdate) OnUpdate(this, TUpdateAction::uaReplacing, i);
                // A file that vanished or cannot be opened leaves the old entry as it was.
                replaced = AddFile(path);
            } else {
                m_total -= std::min<std::uint64_t>(m_total, present ? static_cast<std::uint64_t>(st.st_size) : 0);
                m_total += entry->CompressedSize();
            }
        }
        if (replaced) continue;
        if (OnUpdate) OnUpdate(this, TUpdateAction::uaKeeping, i);
        CarryOver(*entry);
        m_byName->Add(entry.get());
        m_byPosition->Add(entry.get());
        m_newEntries.push_back(std::move(entry));
    }
    std::vector<std::string> left;
    for (std::size_t k = 0; k < lines.size(); ++k)
        if (!used[k]) left.push_back(std::move(lines[k]));
    lines = std::move(left);
}

void TZipper::WriteCentralDirectory() {
    const std::uint64_t centralOffset = static_cast<std::uint64_t>(ftello(m_output));
    std::uint64_t entries = 0;
    for (std::size_t k = 0; k < m_byPosition->size(); ++k) {
        TZipHeaderInfo& entry = *(*m_byPosition)[k];
        const std::string name = StoredName(entry);
        const std::uint64_t uncompressed = entry.UncompressedSize(), compressed = entry.CompressedSize();
        const std::uint64_t offset = entry.RelativeOffset();
        std::vector<std::uint64_t> wide;
        if (uncompressed >= kNarrow) wide.push_back(uncompressed);
        if (compressed >= kNarrow) wide.push_back(compressed);
        if (offset >= kNarrow) wide.push_back(offset);
        const bool wideDisk = entry.NarrowDiskStart == 0xFFFF;
        std::string extra = entry.CarriedCentralExtra;
        if (!wide.empty() || wideDisk) AppendZip64(extra, wide, wideDisk, entry.DiskStart());
        else entry.Zip64.reset();
        if (entry.Aes) {
            unsigned char aes[11];
            Put16(aes, kAesExtraId);
            Put16(aes + 2, 7);
            Put16(aes + 4, entry.Aes->VendorVersion);
            Put16(aes + 6, entry.Aes->VendorId);
            aes[8] = entry.Aes->KeyStrength;
            Put16(aes + 9, entry.Aes->RealMethod);
            extra.append(reinterpret_cast<char*>(aes), sizeof aes);
        }
        const std::uint16_t needed = entry.Aes ? 51 : ((!wide.empty() || wideDisk) ? 45 : 20);
        unsigned char h[kCentralHeaderSize];
        Put32(h, kCentralHeaderSignature);
        Put16(h + 4, entry.VersionMadeBy);
        Put16(h + 6, needed);
        Put16(h + 8, entry.Flag);
        Put16(h + 10, entry.Aes ? kMethodAes : entry.CompressionMethod);
        Put32(h + 12, entry.ModDateTime);
        Put32(h + 16, entry.CRC32);
        Put32(h + 20, static_cast<std::uint32_t>(std::min(compressed, kNarrow)));
        Put32(h + 24, static_cast<std::uint32_t>(std::min(uncompressed, kNarrow)));
        Put16(h + 28, entry.FileNameLength);
        Put16(h + 30, Length16(extra.size(), "An extra field"));
        Put16(h + 32, Length16(entry.FileComment.size(), "A file comment"));
        Put16(h + 34, entry.NarrowDiskStart);
        Put16(h + 36, entry.InternalAttributes);
        Put32(h + 38, entry.ExternalAttributes);
        Put32(h + 42, static_cast<std::uint32_t>(std::min(offset, kNarrow)));
        entry.HeaderPosition = static_cast<std::uint64_t>(ftello(m_output));
        WriteBlock(h, sizeof h);
        WriteBlock(name.data(), name.size());
        entry.CentralExtraPosition = entry.HeaderPosition + kCentralHeaderSize + name.size();
        entry.ExtraFieldLength = Length16(extra.size(), "An extra field");
        entry.FileCommentLength = Length16(entry.FileComment.size(), "A file comment");
        WriteBlock(extra.data(), extra.size());
        WriteBlock(entry.FileComment.data(), entry.FileComment.size());
        ++entries;
    }
    const std::uint64_t centralEnd = static_cast<std::uint64_t>(ftello(m_output));
    const std::uint64_t centralSize = centralEnd - centralOffset;

    TEndCentral& end = m_newEnd;
    end.ThisDisk = 0;
    end.StartDisk = 0;
    const bool wideCount = entries > 65534;
    end.EntriesThisDisk = wideCount ? 0xFFFF : static_cast<std::uint16_t>(entries);
    end.TotalEntries = end.EntriesThisDisk;
    end.CentralSize = static_cast<std::uint32_t>(std::min(centralSize, kNarrow));
    end.CentralOffset = static_cast<std::uint32_t>(std::min(centralOffset, kNarrow));
    end.Zip64.reset();
    end.Locator.reset();
    if (wideCount || centralSize >= kNarrow || centralOffset >= kNarrow) {
        TEndCentral::Zip64End z;
        z.EntriesThisDisk = entries;
        z.TotalEntries = entries;
        z.CentralSize = centralSize;
        z.CentralOffset = centralOffset;
        end.Zip64 = z;
        unsigned char record[kZip64EndCentralSize];
        Put32(record, kZip64EndCentralSignature);
        Put64(record + 4, 44);
        Put16(record + 12, 45);
        Put16(record + 14, 45);
        Put32(record + 16, 0);
        Put32(record + 20, 0);
        Put64(record + 24, entries);
        Put64(record + 32, entries);
        Put64(record + 40, centralSize);
        Put64(record + 48, centralOffset);
        WriteBlock(record, sizeof record);
        TEndCentral::Zip64Locator l;
        l.EndOffset = centralEnd;
        l.TotalDisks = 1;
        end.Locator = l;
        unsigned char locator[kZip64LocatorSize];
        Put32(locator, kZip64LocatorSignature);
        Put32(locator + 4, 0);
        Put64(locator + 8, centralEnd);
        Put32(locator + 16, 1);
        WriteBlock(locator, sizeof locator);
    }
    unsigned char record[kEndCentralSize];
    Put32(record, kEndCentralSignature);
    Put16(record + 4, end.ThisDisk);
    Put16(record + 6, end.StartDisk);
    Put16(record + 8, end.EntriesThisDisk);
    Put16(record + 10, end.TotalEntries);
    Put32(record + 12, end.CentralSize);
    Put32(record + 16, end.CentralOffset);
    end.CommentLength = static_cast<std::uint16_t>(std::min<std::size_t>(end.Comment.size(), kMaxCommentLength));
    Put16(record + 20, end.CommentLength);
    WriteBlock(record, sizeof record);
    end.CommentPosition = static_cast<std::uint64_t>(ftello(m_output));
    WriteBlock(end.Comment.data(), end.CommentLength);
}

void TZipper::ReplaceOlderArchive() {
    std::string target = ZipName();
    // A ZipName that is a symbolic link: the file it points to is replaced, the link stays.
    struct stat link {};
    if (::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        if (char* real = ::realpath(target.c_str(), nullptr)) {
            target = real;
            std::free(real);
        }
    }
    // The new archive gets the older one's permissions.
    struct stat older {};
    if (::stat(target.c_str(), &older) == 0) ::chmod(m_outputName.c_str(), older.st_mode & 07777);
    if (::rename(m_outputName.c_str(), target.c_str()) == 0) {
        m_outputName.clear();
        return;
    }
    if (errno != EXDEV)
        throw EZipperException("Could not copy from " + m_outputName + " -> " + target + ": " + std::strerror(errno));
    // Another file system: a complete copy beside the archive, then one rename over it.
    std::string sibling = FolderOf(target) + "/." + BaseName(target) + ".XXXXXX";
    posix::Fd copy(::mkstemp(sibling.data()));
    if (copy.get() < 0) throw EZipperException("Could not copy from " + m_outputName + " -> " + target + ": Error");
    posix::Fd from(::open(m_outputName.c_str(), O_RDONLY | O_CLOEXEC));
    std::vector<char> buffer(1 << 16);
    std::uint64_t copied = 0;
    bool ok = from.get() >= 0;
    while (ok) {
        const ssize_t n = ::read(from.get(), buffer.data(), buffer.size());
        if (n == 0) break;
        if (n < 0 || ::write(copy.get(), buffer.data(), static_cast<std::size_t>(n)) != n) ok = false;
        else copied += static_cast<std::uint64_t>(n);
    }
    if (ok) ::fchmod(copy.get(), older.st_mode & 07777);
    if (!ok || copied == 0 || ::fsync(copy.get()) != 0 || ::rename(sibling.c_str(), target.c_str()) != 0) {
        ::unlink(sibling.c_str());
        throw EZipperException("Could not copy from " + m_outputName + " -> " + target + ": Error");
    }
    ::unlink(m_outputName.c_str());
    m_outputName.clear();
}

int TZipper::Zip() {
    ClearCancel();
    std::string trimmed = ZipName();
    trimmed.erase(0, trimmed.find_first_not_of(' '));
    if (trimmed.empty()) {
        FilesList().clear();
        return 0;
    }
    const bool wasBusy = m_busy;
    m_busy = true;
    const TZipSortMode sortMode = SortMode();
    const bool keepOpen = KeepZipOpen;
    KeepZipOpen = true;
    setSortMode(TZipSortMode::ByNone);
    m_updating = false;
    m_output = nullptr;
    m_outputName.clear();
    m_newEntries.clear();
    m_written = m_total = m_done = 0;
    m_added = 0;

    auto restore = [&] {
        m_byName.reset();
        m_byPosition.reset();
        m_newEntries.clear();
        m_newEnd = TEndCentral();
        setSortMode(sortMode);
        KeepZipOpen = keepOpen;
        if (!KeepZipOpen) CloseArchive();
        m_busy = wasBusy;
        m_tempLock.Close();
        FilesList().clear();
    };
    try {
        if (!FilesList().empty()) ExpandList();
        if (!FilesList().empty() && OnStartZipInfo) {
            bool stop = false;
            OnStartZipInfo(this, static_cast<int>(FilesList().size()), m_total, m_newEnd, stop);
            if (stop) throw EUserCanceled("User canceled Zip operation");
        }
        if (::access(ZipName().c_str(), F_OK) != 0) {
            CreateOutput(ZipName());
        } else {
            m_updating = true;
            std::string folder = TempPath;
            struct stat st {};
            if (folder.empty() || ::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                folder = PrivateTempFolder();
            RemoveStaleTemporaries(folder);
            std::string name = folder + "/" + kTempPrefix + "XXXXXX";
            const int fd = ::mkstemp(name.data());
            if (fd < 0) throw EFOpenError("Cannot create file \"" + name + "\". " + std::strerror(errno));
            // Held locked while this Zip runs: a lock that can be taken marks a file that a
            // killed update left behind.
            m_tempLock.reset(fd);
            ::flock(fd, LOCK_EX | LOCK_NB);
            m_outputName = name;
            ReadZip(); // opens the older archive and reads its directory unless held
            // A directory rebuilt by the repair scan is a guess (entries with data
            // descriptors, comments and attributes are not found from local headers): an
            // update would write that guess over the archive.
            if (ImproperZip()) throw EBadZipFile(DamagedArchiveError(ZipName()));
            CreateOutput(name);
            UpdatePass();
        }
        for (const std::string& path : std::vector<std::string>(FilesList())) AddFile(path);
        FilesList().clear();
        WriteCentralDirectory();
        const int closed = std::fflush(m_output) == 0 && ::fsync(fileno(m_output)) == 0;
        std::fclose(m_output);
        m_output = nullptr;
        if (!closed) throw ENotEnoughRoom("Not enough room to write archive");
        if (m_updating) {
            CloseArchive();
            ReplaceOlderArchive();
        }
        m_outputName.clear();
        AdoptDirectory(std::move(m_newEntries), m_newEnd);
        if (OnTotalPercentDone) OnTotalPercentDone(this, 100);
    } catch (...) {
        if (m_output) std::fclose(m_output);
        m_output = nullptr;
        if (!m_outputName.empty()) ::unlink(m_outputName.c_str());
        m_outputName.clear();
        restore();
        throw;
    }
    restore();
    if (OnZipComplete) OnZipComplete(this, m_added);
    return m_added;
}

} // namespace quill::zip
