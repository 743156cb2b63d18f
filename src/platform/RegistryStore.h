#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quill::platform {

// Types of registry values, with the numbers the registry gives them.
enum class RegistryType : std::uint32_t { String = 1, Binary = 3, Dword = 4 };

struct RegistryValue {
    RegistryType type = RegistryType::String;
    std::string data; // the bytes; a Dword is 4 bytes, least significant first

    static RegistryValue Text(std::string text) { return {RegistryType::String, std::move(text)}; }
    static RegistryValue Bytes(std::string bytes) { return {RegistryType::Binary, std::move(bytes)}; }
    static RegistryValue Number(std::uint32_t number);
    bool operator==(const RegistryValue&) const = default;
};

using RegistryValues = std::map<std::string, RegistryValue>;
// Keys by path ("Printers\Settings"; "\" separates the levels), each with its values.
using RegistryKeys = std::map<std::string, RegistryValues>;

// The current user's registry keys: one file in the user's configuration folder,
// replaced as a whole on every change (temporary file, fsync, rename), so a change is
// either made completely or not at all, also when the program is killed. Changes of
// several programs of the user take turns under a lock.
//
// A key's subtree can be saved into a hive file and restored from one. Both files
// (the store and a hive) have the same layout, little-endian:
//   8 bytes  magic: "QUILLREG" for the store, "QUILLHIV" for a hive
//   4 bytes  version: 1
//   4 bytes  CRC-32 of the body
//   8 bytes  length of the body
//   body     key count (4 bytes), then per key: its path, its value count (4 bytes),
//            then per value: its name, its type (4 bytes), its data
// where a path, name or data is a 4-byte length followed by that many bytes. Paths in
// a hive are relative to the saved key ("" is the key itself). A file is used only when
// every field checks out: magic, version, length, checksum, every record whole, known
// types, 4-byte Dwords, no empty path part, no key twice, nothing left over. A hive is at
// most kMaxHiveSize bytes: larger ones are neither written nor read.
//
// Temporary files of the store ("registry." and six characters) that a killed program
// left behind are removed by the next change: every change writes its temporary file
// under the lock, so none that exists while the lock is held is in use.
inline constexpr std::uint64_t kMaxHiveSize = 16u << 20;

// The file's bytes, at most limit of them: nullopt with errno set (ENOENT for a missing
// file, EFBIG for a larger one) when it cannot be read whole.
std::optional<std::string> ReadWholeFile(const std::string& path, std::uint64_t limit);

class RegistryStore {
public:
    // The store of the user: $XDG_CONFIG_HOME (else ~/.config) /quill-server-management/registry.
    RegistryStore();
    explicit RegistryStore(std::string file);

    const std::string& File() const { return m_file; }
    static std::string DefaultFile();

    // Keys that exist for every user, also before anything was written.
    static const std::vector<std::string>& DefaultKeys();

    bool KeyExists(const std::string& key) const;
    // Creates the key and its missing parents.
    bool CreateKey(const std::string& key);
    // Deletes the key with its subtree.
    bool DeleteKey(const std::string& key);
    std::optional<RegistryValues> Values(const std::string& key) const;
    std::optional<RegistryValue> Value(const std::string& key, const std::string& name) const;
    // Sets a value of an existing key.
    bool SetValue(const std::string& key, const std::string& name, const RegistryValue& value);
    bool DeleteValue(const std::string& key, const std::string& name);
    // The key and every key below it, by path relative to key; nullopt when it does not exist.
    std::optional<RegistryKeys> Subtree(const std::string& key) const;

    // Writes the key's subtree into a new hive file. False when the key does not exist,
    // the file already exists (it is never written over) or cannot be written whole;
    // nothing is left at the path then.
    bool SaveKey(const std::string& key, const std::string& file) const;
    // Replaces the key's subtree with the hive file's content in one step. False, with
    // the key as it was, when the key does not exist or the file is missing or not a
    // whole, valid hive.
    bool RestoreKey(const std::string& key, const std::string& file);

    // Why the last operation that failed did so, in words for the user.
    const std::string& LastError() const { return m_error; }

    // A store file that can be read but does not check out is renamed to a new name
    // beside it (never deleted), so that the next change starts a fresh store; that
    // name, or nullopt when the store is not damaged (or cannot be renamed).
    std::optional<std::string> SetAsideIfDamaged();

    // The encoded form of keys, and its decoding (nullopt when anything does not check out).
    static std::string Encode(const RegistryKeys& keys, const char* magic);
    static std::optional<RegistryKeys> Decode(const std::string& bytes, const char* magic);

private:
    std::optional<RegistryKeys> Load() const;
    bool Store(const RegistryKeys& keys) const;
    template <class Change> bool Modify(Change change);
    bool Fail(std::string reason) const;
    void RemoveStaleTemporaries() const;

    std::string m_file;
    mutable std::string m_error;
};

// Writes bytes to path in one step: a temporary file beside it, fsync, rename, fsync
// of the folder. False when any step fails; the older file then stays as it was.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, unsigned mode);

} // namespace quill::platform
