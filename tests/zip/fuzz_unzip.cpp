// libFuzzer harness: any bytes as an archive, read and extracted into a folder of their
// own; nothing may crash, leak or hang, nothing may be written outside that folder, and no
// target may be longer than the bytes decoded into it.
// Then the bytes as files, zipped and updated: what is written reads back identically.
#include "zip/TZipper.h"

#include "ArchiveBuilder.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace quill::zip;

namespace {

using quill::test::ArchiveBuilder;
using quill::test::RemoveTree;

const fs::path& Root() {
    static const fs::path root = quill::test::MakeTempFolder("quill-fuzz");
    return root;
}

std::string ReadFile(const fs::path& path) { return ArchiveBuilder::ReadFile(path); }

// Every byte of a target was written by decoding: a file given its size beforehand and not
// filled up has an unwritten tail, which the file system reports as a hole.
void CheckNoUnwrittenTail(const fs::path& folder) {
    std::error_code ignored;
    for (const auto& entry : fs::recursive_directory_iterator(folder, ignored)) {
        if (!entry.is_regular_file(ignored) || entry.is_symlink(ignored)) continue;
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0) continue;
        const off_t size = ::lseek(fd, 0, SEEK_END);
        const off_t hole = ::lseek(fd, 0, SEEK_HOLE);
        ::close(fd);
        if (hole >= 0 && hole < size) {
            std::fprintf(stderr, "target longer than its decoded bytes: %s (%lld of %lld)\n", entry.path().c_str(),
                         static_cast<long long>(hole), static_cast<long long>(size));
            std::abort();
        }
    }
}

void Check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "round trip: %s\n", what);
        std::abort();
    }
}

// The input split into three files, zipped at a level taken from its length, then one
// file rewritten and the archive updated; both archives extract to the files again.
void RoundTrip(const std::uint8_t* data, std::size_t size) {
    const fs::path sources = Root() / "sources", archive = Root() / "written.zip", dest = Root() / "back";
    fs::create_directories(sources);
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::string parts[3] = {bytes.substr(0, size / 3), bytes.substr(size / 3, size / 3),
                                  bytes.substr(2 * (size / 3))};
    const char* names[3] = {"1.reg", "2.reg", "3.reg"};
    for (int i = 0; i < 3; ++i) std::ofstream(sources / names[i], std::ios::binary) << parts[i];
    for (int round = 0; round < 2; ++round) {
        TZipper zipper;
        zipper.setZipName(archive);
        for (const char* name : names) zipper.FilesList().push_back((sources / name).string());
        zipper.PackLevel = static_cast<int>(size % 10);
        zipper.ZipAction = TZipAction::zaReplace;
        zipper.TempPath = Root().string();
        Check(zipper.Zip() == 3, "every file is zipped");
        TUnZipper reader;
        reader.setZipName(archive);
        reader.DoAll = true;
        reader.setDestDir(dest);
        reader.OverwriteMode = TUZOverwriteMode::Always;
        Check(reader.UnZip() == 3, "every entry is extracted");
        for (int i = 0; i < 3; ++i) Check(ReadFile(dest / names[i]) == ReadFile(sources / names[i]), "same bytes");
        RemoveTree(dest);
        std::ofstream(sources / names[1], std::ios::binary | std::ios::app) << "changed";
    }
    fs::remove(archive);
    RemoveTree(sources);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const fs::path archive = Root() / "archive.zip";
    const fs::path dest = Root() / "out";
    {
        std::ofstream out(archive, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    // Vary the settings by the input's length, so that the seeds keep their bytes.
    const unsigned options = static_cast<unsigned>(size % 8);
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.DoAll = true;
    zipper.setDestDir(dest);
    zipper.OverwriteMode = TUZOverwriteMode::Always;
    zipper.RecreateDirs = options & 1;
    zipper.IncompleteZipMode = (options & 2) ? TIncompleteZipMode::izAssumeBad : TIncompleteZipMode::izAssumeMulti;
    if (options & 4) zipper.setSortMode(TZipSortMode::ByName);
    // An entry counted as extracted holds exactly the size its directory states.
    zipper.OnEndUnZip = [](TUnZipper* z, int index, const std::string& name) {
        std::error_code error;
        const auto size = fs::file_size(name, error);
        if (!error && size != z->Entry(index).UncompressedSize()) {
            std::fprintf(stderr, "extracted %s holds %llu bytes, its entry %llu\n", name.c_str(),
                         static_cast<unsigned long long>(size),
                         static_cast<unsigned long long>(z->Entry(index).UncompressedSize()));
            std::abort();
        }
    };
    try {
        zipper.UnZip();
    } catch (const EZipperException&) {
    } catch (const EZLibError&) {
    } catch (const EListError&) {
    } catch (const EFOpenError&) {
    }
    for (const auto& entry : fs::directory_iterator(Root())) {
        if (entry.path() != archive && entry.path() != dest && entry.path() != Root() / "sources") {
            std::fprintf(stderr, "written outside the destination: %s\n", entry.path().c_str());
            std::abort();
        }
    }
    CheckNoUnwrittenTail(dest);
    RemoveTree(dest);
    RoundTrip(data, size);
    return 0;
}
