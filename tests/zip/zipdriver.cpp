// A command-line driver of the ZIP component, for interoperability tests and for
// checking an archive by hand:
//   zipdriver list ARCHIVE          one line per entry: name, method, compressed and
//                                   uncompressed size, CRC-32 and DOS date-time in hex
//   zipdriver unzip ARCHIVE DESTDIR extracts everything as the settings restore does
//   zipdriver zip ARCHIVE LEVEL FILE...  zips the files by their names, as the settings
//                                   save does, into a new or an existing archive
#include "zip/TZipper.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace quill::zip;

namespace {

int Usage() {
    std::fprintf(stderr, "usage: zipdriver list ARCHIVE | unzip ARCHIVE DESTDIR | zip ARCHIVE LEVEL FILE...\n");
    return 2;
}

template <typename E> int Report(const E& error) {
    std::printf("%s: %s\n", error.ClassName(), error.what());
    return 1;
}

int List(const char* archive) {
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.ReadZip();
    for (int i = 0; i < zipper.Count(); ++i) {
        const TZipHeaderInfo& e = zipper.Entry(i);
        std::string name = e.Directory + e.FileName;
        std::replace(name.begin(), name.end(), '\\', '/');
        std::printf("%s\t%u\t%llu\t%llu\t%08X\t%08X\n", name.c_str(), e.CompressionMethod,
                    static_cast<unsigned long long>(e.CompressedSize()),
                    static_cast<unsigned long long>(e.UncompressedSize()), e.CRC32, e.ModDateTime);
    }
    return 0;
}

int Unzip(const char* archive, const char* destination) {
    TUnZipper zipper;
    zipper.setZipName(archive);
    zipper.DoAll = true;
    zipper.setDestDir(destination);
    zipper.OverwriteMode = TUZOverwriteMode::Always;
    std::printf("%d\n", zipper.UnZip());
    return 0;
}

int Zip(const char* archive, const char* level, char** files, int count) {
    TZipper zipper;
    zipper.setZipName(archive);
    for (int i = 0; i < count; ++i) zipper.FilesList().push_back(files[i]);
    zipper.Recurse = false;
    zipper.setStorePaths(false);
    zipper.PackLevel = std::atoi(level);
    std::printf("%d\n", zipper.Zip());
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage();
    try {
        if (!std::strcmp(argv[1], "list") && argc == 3) return List(argv[2]);
        if (!std::strcmp(argv[1], "unzip") && argc == 4) return Unzip(argv[2], argv[3]);
        if (!std::strcmp(argv[1], "zip") && argc >= 4) return Zip(argv[2], argv[3], argv + 4, argc - 4);
        return Usage();
    } catch (const EZipperException& e) {
        return Report(e);
    } catch (const EZLibError& e) {
        return Report(e);
    } catch (const EListError& e) {
        return Report(e);
    } catch (const EFOpenError& e) {
        return Report(e);
    }
}
