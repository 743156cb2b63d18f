#include "platform/RegistryStore.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::platform {
namespace {

constexpr const char* kStoreMagic = "QUILLREG";
constexpr const char* kHiveMagic = "QUILLHIV";
constexpr std::uint32_t kVersion = 1;
constexpr std::size_t kHeaderSize = 24;

void PutU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void PutU64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}
void PutText(std::string& out, const std::string& s) {
    PutU32(out, static_cast<std::uint32_t>(s.size()));
    out += s;
}

// Reads fields from a byte string; any read past its end marks it failed.
class Reader {
public:
    explicit Reader(const std::string& bytes, std::size_t at = 0) : m_bytes(bytes), m_at(at) {}
    std::uint64_t Number(int width) {
        if (m_bytes.size() - m_at < static_cast<std::size_t>(width)) return Fail();
        std::uint64_t v = 0;
        for (int i = 0; i < width; ++i) v |= std::uint64_t(static_cast<unsigned char>(m_bytes[m_at + i])) << (8 * i);
        m_at += static_cast<std::size_t>(width);
        return v;
    }
    std::string Text() {
        const std::uint64_t length = Number(4);
        if (!m_ok || m_bytes.size() - m_at < length) return Fail(), std::string();
        std::string s = m_bytes.substr(m_at, length);
        m_at += length;
        return s;
    }
    bool ok() const { return m_ok; }
    bool AtEnd() const { return m_at == m_bytes.size(); }

private:
    std::uint64_t Fail() {
        m_ok = false;
        m_at = m_bytes.size();
        return 0;
    }
    const std::string& m_bytes;
    std::size_t m_at;
    bool m_ok = true;
};

bool ValidPath(const std::string& path, bool relative) {
    if (path.empty()) return relative;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find('\\', start);
        if ((end == std::string::npos ? path.size() : end) == start) return false; // an empty part
        if (end == std::string::npos) return true;
        start = end + 1;
    }
}

bool Below(const std::string& path, const std::string& key) {
    return path.size() > key.size() && path.compare(0, key.size(), key) == 0 && path[key.size()] == '\\';
}

std::string Parent(const std::string& key) {
    const auto slash = key.rfind('\\');
    return slash == std::string::npos ? std::string() : key.substr(0, slash);
}

bool WriteAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

std::string FolderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void SyncFolder(const std::string& folder) {
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// A temporary file beside path holding bytes, synced to disk; its name, or empty.
std::string WriteTemporary(const std::string& path, const std::string& bytes, unsigned mode) {
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return {};
    const bool written = ::fchmod(fd, mode) == 0 && WriteAll(fd, bytes) && ::fsync(fd) == 0;
    if (::close(fd) != 0 || !written) {
        const int error = errno ? errno : EIO;
        ::unlink(temporary.c_str());
        errno = error;
        return {};
    }
    return temporary;
}

bool MakeFolders(const std::string& folder) {
    if (folder.empty() || folder == "/" || folder == ".") return true;
    struct stat st {};
    if (::stat(folder.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    if (!MakeFolders(FolderOf(folder))) return false;
    return ::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST;
}

// The key and every key below it, by path relative to key.
RegistryKeys SubtreeOf(const RegistryKeys& keys, const std::string& key) {
    RegistryKeys subtree;
    for (const auto& [path, values] : keys) {
        if (path == key) subtree[""] = values;
        else if (Below(path, key)) subtree[path.substr(key.size() + 1)] = values;
    }
    return subtree;
}

} // namespace

std::optional<std::string> ReadWholeFile(const std::string& path, std::uint64_t limit) {
    // Without blocking: a FIFO or a device put where the file belongs must not hang the
    // reader; only a regular file is read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const int error = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = error;
        return std::nullopt;
    }
    std::string bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::read(fd, buffer, sizeof buffer)) > 0) {
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > limit) break;
    }
    const int error = n < 0 ? errno : bytes.size() > limit ? EFBIG : 0;
    ::close(fd);
    errno = error;
    if (error) return std::nullopt;
    return bytes;
}

RegistryValue RegistryValue::Number(std::uint32_t number) {
    std::string bytes;
    PutU32(bytes, number);
    return {RegistryType::Dword, bytes};
}

bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned mode) {
    const std::string temporary = WriteTemporary(path, bytes, mode);
    if (temporary.empty()) return false;
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        errno = error;
        return false;
    }
    SyncFolder(FolderOf(path));
    return true;
}

RegistryStore::RegistryStore() : RegistryStore(DefaultFile()) {}

RegistryStore::RegistryStore(std::string file) : m_file(std::move(file)) {}

std::string RegistryStore::DefaultFile() {
    std::string config;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/') config = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home) config = std::string(home) + "/.config";
    else config = "/tmp/quill-" + std::to_string(::getuid()) + "-config";
    return config + "/quill-server-management/registry";
}

const std::vector<std::string>& RegistryStore::DefaultKeys() {
    static const std::vector<std::string> keys = {"Printers", "Printers\\DevModePerUser", "Printers\\DevModes2",
                                                  "Printers\\Settings"};
    return keys;
}

std::string RegistryStore::Encode(const RegistryKeys& keys, const char* magic) {
    std::string body;
    PutU32(body, static_cast<std::uint32_t>(keys.size()));
    for (const auto& [path, values] : keys) {
        PutText(body, path);
        PutU32(body, static_cast<std::uint32_t>(values.size()));
        for (const auto& [name, value] : values) {
            PutText(body, name);
            PutU32(body, static_cast<std::uint32_t>(value.type));
            PutText(body, value.data);
        }
    }
    std::string out(magic, 8);
    PutU32(out, kVersion);
    PutU32(out, static_cast<std::uint32_t>(
                    ::crc32(0, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()))));
    PutU64(out, body.size());
    return out + body;
}

std::optional<RegistryKeys> RegistryStore::Decode(const std::string& bytes, const char* magic) {
    if (bytes.size() < kHeaderSize || bytes.compare(0, 8, magic, 8) != 0) return std::nullopt;
    Reader header(bytes, 8);
    const auto version = header.Number(4);
    const auto crc = header.Number(4);
    const auto length = header.Number(8);
    if (version != kVersion || length != bytes.size() - kHeaderSize) return std::nullopt;
    const auto actual = ::crc32(0, reinterpret_cast<const Bytef*>(bytes.data() + kHeaderSize),
                                static_cast<uInt>(bytes.size() - kHeaderSize));
    if (actual != crc) return std::nullopt;

    const bool relative = std::strncmp(magic, kHiveMagic, 8) == 0;
    Reader body(bytes, kHeaderSize);
    RegistryKeys keys;
    const auto count = body.Number(4);
    for (std::uint64_t k = 0; k < count && body.ok(); ++k) {
        std::string path = body.Text();
        if (!body.ok() || !ValidPath(path, relative) || keys.count(path)) return std::nullopt;
        RegistryValues& values = keys[path];
        const auto valueCount = body.Number(4);
        for (std::uint64_t v = 0; v < valueCount && body.ok(); ++v) {
            std::string name = body.Text();
            const auto type = body.Number(4);
            std::string data = body.Text();
            if (!body.ok() || values.count(name)) return std::nullopt;
            if (type != 1 && type != 3 && type != 4) return std::nullopt;
            if (type == 4 && data.size() != 4) return std::nullopt;
            values[name] = {static_cast<RegistryType>(type), std::move(data)};
        }
    }
    if (!body.ok() || !body.AtEnd()) return std::nullopt;
    if (relative && !keys.count("")) return std::nullopt; // a hive always holds its key
    return keys;
}

bool RegistryStore::Fail(std::string reason) const {
    m_error = std::move(reason);
    return false;
}

std::optional<RegistryKeys> RegistryStore::Load() const {
    // The store is not a hive, but a store far beyond any hive's size is no store of ours.
    const auto bytes = ReadWholeFile(m_file, 16 * kMaxHiveSize);
    if (!bytes) {
        if (errno == ENOENT) {
            RegistryKeys keys;
            for (const auto& key : DefaultKeys()) keys[key];
            return keys;
        }
        Fail("the settings store " + m_file + " cannot be read: " + std::strerror(errno));
        return std::nullopt;
    }
    auto keys = Decode(*bytes, kStoreMagic);
    if (!keys) Fail("the settings store " + m_file + " is damaged");
    return keys;
}

bool RegistryStore::Store(const RegistryKeys& keys) const {
    if (!MakeFolders(FolderOf(m_file)) || !WriteFileAtomically(m_file, Encode(keys, kStoreMagic), 0600))
        return Fail("the settings store " + m_file + " cannot be written: " + std::strerror(errno));
    return true;
}

// A temporary file of the store: its name and a dot, then the six characters mkstemp
// chooses.
void RegistryStore::RemoveStaleTemporaries() const {
    const std::string folder = FolderOf(m_file);
    const std::string prefix = m_file.substr(folder.size() + 1) + ".";
    DIR* listing = ::opendir(folder.c_str());
    if (!listing) return;
    while (const dirent* item = ::readdir(listing)) {
        const std::string name = item->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        if (!std::all_of(name.begin() + static_cast<long>(prefix.size()), name.end(),
                         [](unsigned char c) { return std::isalnum(c); }))
            continue;
        struct stat st {};
        if (::fstatat(::dirfd(listing), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            st.st_uid == ::getuid())
            ::unlinkat(::dirfd(listing), name.c_str(), 0);
    }
    ::closedir(listing);
}

template <class Change> bool RegistryStore::Modify(Change change) {
    // Read, change and write take turns with other programs of the user.
    if (!MakeFolders(FolderOf(m_file)))
        return Fail("the folder of the settings store " + m_file + " cannot be made: " + std::strerror(errno));
    const int lock = ::open((m_file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return Fail("the settings store " + m_file + " cannot be locked: " + std::strerror(errno));
    ::flock(lock, LOCK_EX);
    // Every temporary file of the store is written under this lock: one that exists now
    // was left by a program that was killed while it wrote.
    RemoveStaleTemporaries();
    bool done = false;
    if (auto keys = Load()) done = change(*keys) && Store(*keys);
    ::close(lock);
    return done;
}

std::optional<std::string> RegistryStore::SetAsideIfDamaged() {
    struct stat st {};
    if (::stat(m_file.c_str(), &st) != 0) return std::nullopt; // no store: nothing to set aside
    const int lock = ::open((m_file + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock < 0) return std::nullopt;
    ::flock(lock, LOCK_EX);
    std::optional<std::string> kept;
    const auto bytes = ReadWholeFile(m_file, 16 * kMaxHiveSize);
    const bool damaged = bytes ? !Decode(*bytes, kStoreMagic) : errno == EFBIG;
    if (damaged) {
        char stamp[32] = "";
        const std::time_t now = std::time(nullptr);
        std::tm utc{};
        ::gmtime_r(&now, &utc);
        std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
        // link() never replaces a file: an older damaged store of the same second stays.
        for (int n = 1; n < 100 && !kept; ++n) {
            std::string name = m_file + ".damaged-" + stamp + (n > 1 ? "-" + std::to_string(n) : "");
            if (::link(m_file.c_str(), name.c_str()) == 0) kept = std::move(name);
            else if (errno != EEXIST) break;
        }
        if (kept && ::unlink(m_file.c_str()) != 0) {
            ::unlink(kept->c_str());
            kept.reset();
        }
        if (kept) SyncFolder(FolderOf(m_file));
    }
    ::close(lock);
    return kept;
}

bool RegistryStore::KeyExists(const std::string& key) const {
    const auto keys = Load();
    return keys && keys->count(key);
}

bool RegistryStore::CreateKey(const std::string& key) {
    if (!ValidPath(key, false)) return false;
    return Modify([&](RegistryKeys& keys) {
        for (std::string k = key; !k.empty(); k = Parent(k)) keys[k];
        return true;
    });
}

bool RegistryStore::DeleteKey(const std::string& key) {
    return Modify([&](RegistryKeys& keys) {
        if (!keys.erase(key)) return false;
        std::erase_if(keys, [&](const auto& entry) { return Below(entry.first, key); });
        return true;
    });
}

std::optional<RegistryValues> RegistryStore::Values(const std::string& key) const {
    const auto keys = Load();
    if (!keys) return std::nullopt;
    const auto found = keys->find(key);
    if (found == keys->end()) return std::nullopt;
    return found->second;
}

std::optional<RegistryValue> RegistryStore::Value(const std::string& key, const std::string& name) const {
    const auto values = Values(key);
    if (!values) return std::nullopt;
    const auto found = values->find(name);
    if (found == values->end()) return std::nullopt;
    return found->second;
}

bool RegistryStore::SetValue(const std::string& key, const std::string& name, const RegistryValue& value) {
    if (value.type == RegistryType::Dword && value.data.size() != 4) return false;
    // A value that is already there is not written again (the store's disk may be full).
    if (Value(key, name) == value) return true;
    return Modify([&](RegistryKeys& keys) {
        const auto found = keys.find(key);
        if (found == keys.end()) return Fail("the key " + key + " does not exist");
        found->second[name] = value;
        return true;
    });
}

bool RegistryStore::DeleteValue(const std::string& key, const std::string& name) {
    return Modify([&](RegistryKeys& keys) {
        const auto found = keys.find(key);
        return found != keys.end() && found->second.erase(name) > 0;
    });
}

std::optional<RegistryKeys> RegistryStore::Subtree(const std::string& key) const {
    const auto keys = Load();
    if (!keys || !keys->count(key)) return std::nullopt;
    return SubtreeOf(*keys, key);
}

bool RegistryStore::SaveKey(const std::string& key, const std::string& file) const {
    const auto keys = Load();
    if (!keys) return false;
    if (!keys->count(key)) return Fail("the key does not exist");
    const std::string hive = Encode(SubtreeOf(*keys, key), kHiveMagic);
    if (hive.size() > kMaxHiveSize)
        return Fail("it holds " + std::to_string(hive.size()) + " bytes, more than a hive file may (" +
                    std::to_string(kMaxHiveSize) + ")");
    const std::string temporary = WriteTemporary(file, hive, 0600);
    if (temporary.empty()) return Fail("the hive file " + file + " cannot be written: " + std::strerror(errno));
    // link() never replaces an existing file: the hive appears whole or not at all.
    const bool linked = ::link(temporary.c_str(), file.c_str()) == 0;
    const int error = errno;
    ::unlink(temporary.c_str());
    if (!linked) return Fail("the hive file " + file + " cannot be written: " + std::strerror(error));
    SyncFolder(FolderOf(file));
    return true;
}

bool RegistryStore::RestoreKey(const std::string& key, const std::string& file) {
    const auto bytes = ReadWholeFile(file, kMaxHiveSize);
    if (!bytes) return Fail("the hive file " + file + " cannot be read: " + std::strerror(errno));
    const auto hive = Decode(*bytes, kHiveMagic);
    if (!hive) return Fail("the hive file " + file + " is damaged");
    return Modify([&](RegistryKeys& keys) {
        if (!keys.count(key)) return Fail("the key does not exist");
        std::erase_if(keys, [&](const auto& entry) { return entry.first == key || Below(entry.first, key); });
        for (const auto& [path, values] : *hive) keys[path.empty() ? key : key + "\\" + path] = values;
        return true;
    });
}

} // namespace quill::platform
