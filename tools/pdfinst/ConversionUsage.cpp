#include "ConversionUsage.h"

#include "Fd.h"

#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::pdfinst {

std::uint64_t DiskBytes(const PrivateFolder& folder, pid_t converter, FileId pdf) {
    constexpr std::uint64_t kBlockBytes = 512; // st_blocks counts these
    std::set<FileId> counted{pdf};
    std::uint64_t bytes = folder.Bytes(&counted);
    const Fd descriptors(
        ::open(("/proc/" + std::to_string(converter) + "/fd").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DIR* listing = descriptors ? ::fdopendir(::dup(descriptors.get())) : nullptr;
    if (!listing) return bytes;
    struct stat st {};
    // Each entry leads to the open file itself, named or not.
    while (const dirent* entry = ::readdir(listing))
        if (entry->d_name[0] != '.' && ::fstatat(descriptors.get(), entry->d_name, &st, 0) == 0 &&
            S_ISREG(st.st_mode) && st.st_nlink == 0 && counted.insert({st.st_dev, st.st_ino}).second)
            bytes += static_cast<std::uint64_t>(st.st_blocks) * kBlockBytes;
    ::closedir(listing);
    return bytes;
}

std::uint64_t AddressSpace(pid_t converter) {
    // The first field of statm: the whole address space, in pages.
    std::ifstream statm("/proc/" + std::to_string(converter) + "/statm");
    std::uint64_t pages = 0;
    if (!(statm >> pages)) return 0;
    return pages * static_cast<std::uint64_t>(::sysconf(_SC_PAGESIZE));
}

} // namespace quill::pdfinst
