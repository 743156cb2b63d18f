#pragma once

#include "zip/ZipFormat.h"

#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

namespace quill::test {

// Builds ZIP archives byte by byte, including broken ones.
class ArchiveBuilder {
public:
    struct Entry {
        std::string name;
        std::string data;
        std::uint16_t method = 8;
        std::uint16_t flags = 0;
        std::uint16_t versionMadeBy = 20;
        std::uint32_t dosDateTime = zip::MakeDosDateTime(2013, 5, 5, 6, 42, 38);
        std::uint32_t externalAttributes = 0x20;
        std::optional<std::uint32_t> crc;              // default: the data's CRC
        std::optional<std::uint32_t> uncompressedSize; // default: the data's size
        std::optional<std::string> compressed;         // default: the data, stored or deflated
        std::string localExtra;
        std::string centralExtra;
        std::optional<std::uint16_t> centralExtraLength; // a length that may lie
        std::optional<std::uint32_t> localOffset;        // a central offset that may lie
        std::string comment;
        std::uint16_t diskStart = 0; // 0xFFFF: in a zip64 block of centralExtra
    };

    Entry& Add(const std::string& name, const std::string& data, std::uint16_t method = 8) {
        m_entries.push_back({});
        m_entries.back().name = name;
        m_entries.back().data = data;
        m_entries.back().method = method;
        return m_entries.back();
    }

    std::string comment;

    static std::string Deflate(const std::string& data, int level = 6) {
        z_stream z{};
        deflateInit2(&z, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
        std::string out(deflateBound(&z, data.size()) + 16, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    }

    std::string Build() const {
        std::string archive, central;
        for (const auto& e : m_entries) {
            const std::string packed = e.compressed ? *e.compressed : (e.method == 8 ? Deflate(e.data) : e.data);
            const std::uint32_t crc = e.crc ? *e.crc : zip::Crc32(e.data.data(), e.data.size());
            const std::uint32_t size =
                e.uncompressedSize ? *e.uncompressedSize : static_cast<std::uint32_t>(e.data.size());
            const std::uint32_t offset = static_cast<std::uint32_t>(archive.size());
            unsigned char h[46] = {};
            zip::Put32(h, zip::kLocalHeaderSignature);
            zip::Put16(h + 4, 20);
            zip::Put16(h + 6, e.flags);
            zip::Put16(h + 8, e.method);
            zip::Put32(h + 10, e.dosDateTime);
            zip::Put32(h + 14, crc);
            zip::Put32(h + 18, static_cast<std::uint32_t>(packed.size()));
            zip::Put32(h + 22, size);
            zip::Put16(h + 26, static_cast<std::uint16_t>(e.name.size()));
            zip::Put16(h + 28, static_cast<std::uint16_t>(e.localExtra.size()));
            archive.append(reinterpret_cast<char*>(h), 30);
            archive += e.name + e.localExtra + packed;

            zip::Put32(h, zip::kCentralHeaderSignature);
            zip::Put16(h + 4, e.versionMadeBy);
            zip::Put16(h + 6, 20);
            zip::Put16(h + 8, e.flags);
            zip::Put16(h + 10, e.method);
            zip::Put32(h + 12, e.dosDateTime);
            zip::Put32(h + 16, crc);
            zip::Put32(h + 20, static_cast<std::uint32_t>(packed.size()));
            zip::Put32(h + 24, size);
            zip::Put16(h + 28, static_cast<std::uint16_t>(e.name.size()));
            zip::Put16(h + 30, e.centralExtraLength ? *e.centralExtraLength
                                                    : static_cast<std::uint16_t>(e.centralExtra.size()));
            zip::Put16(h + 32, static_cast<std::uint16_t>(e.comment.size()));
            zip::Put16(h + 34, e.diskStart);
            zip::Put16(h + 36, 0);
            zip::Put32(h + 38, e.externalAttributes);
            zip::Put32(h + 42, e.localOffset ? *e.localOffset : offset);
            central.append(reinterpret_cast<char*>(h), 46);
            central += e.name + e.centralExtra + e.comment;
        }
        const std::uint32_t centralOffset = static_cast<std::uint32_t>(archive.size());
        archive += central;
        unsigned char end[22] = {};
        zip::Put32(end, zip::kEndCentralSignature);
        zip::Put16(end + 8, static_cast<std::uint16_t>(m_entries.size()));
        zip::Put16(end + 10, static_cast<std::uint16_t>(m_entries.size()));
        zip::Put32(end + 12, static_cast<std::uint32_t>(central.size()));
        zip::Put32(end + 16, centralOffset);
        zip::Put16(end + 20, static_cast<std::uint16_t>(comment.size()));
        archive.append(reinterpret_cast<char*>(end), 22);
        return archive + comment;
    }

    void Write(const std::string& path) const { WriteFile(path, Build()); }

    static void WriteFile(const std::string& path, const std::string& bytes) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }

    static std::string ReadFile(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::vector<Entry> m_entries;
};

// A fresh folder under /tmp.
inline std::filesystem::path MakeTempFolder(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    return std::filesystem::path(::mkdtemp(pattern.data()));
}

// Removes a folder with everything in it; read-only files and folders do not stop it.
inline void RemoveTree(const std::filesystem::path& path) {
    namespace fs = std::filesystem;
    std::error_code ignored;
    for (auto& p : fs::recursive_directory_iterator(path, ignored))
        fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
}

} // namespace quill::test
