// libFuzzer harness: any bytes as an archive, read and extracted into a folder of their
// own. Nothing may crash, leak or hang, and nothing may be written outside that folder.
#include "zip/TUnZipper.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace quill::zip;

namespace {

const fs::path& Root() {
    static const fs::path root = [] {
        char pattern[] = "/tmp/quill-fuzz-XXXXXX";
        return fs::path(::mkdtemp(pattern));
    }();
    return root;
}

void RemoveAll(const fs::path& path) {
    std::error_code ignored;
    for (auto& p : fs::recursive_directory_iterator(path, ignored))
        fs::permissions(p, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path, ignored);
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
    try {
        zipper.UnZip();
    } catch (const EZipperException&) {
    } catch (const EZLibError&) {
    } catch (const EListError&) {
    } catch (const EFOpenError&) {
    }
    for (const auto& entry : fs::directory_iterator(Root())) {
        if (entry.path() != archive && entry.path() != dest) {
            std::fprintf(stderr, "written outside the destination: %s\n", entry.path().c_str());
            std::abort();
        }
    }
    RemoveAll(dest);
    return 0;
}
