#include "PrivateFolder.h"

#include "BackendError.h"
#include "Fd.h"
#include "JobOwner.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace quill::pdfinst {

namespace {

// Deeper than anything the interpreter makes; a deeper tree is left, not recursed into.
constexpr int kMaxDepth = 8;

// Removes the folder name below at with its contents. Every level is opened relative to
// the one above and without following links, so a link swapped in while this runs is
// removed itself and never leads root elsewhere.
void RemoveTree(int at, const char* name, int depth) {
    Fd folder(::openat(at, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder && depth < kMaxDepth) {
        std::vector<std::string> entries;
        if (DIR* listing = ::fdopendir(::dup(folder.get()))) {
            while (const dirent* entry = ::readdir(listing))
                if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                    entries.emplace_back(entry->d_name);
            ::closedir(listing);
        }
        for (const auto& entry : entries)
            if (::unlinkat(folder.get(), entry.c_str(), 0) != 0 && errno == EISDIR)
                RemoveTree(folder.get(), entry.c_str(), depth + 1);
    }
    ::unlinkat(at, name, AT_REMOVEDIR);
}

} // namespace

PrivateFolder::PrivateFolder(const std::optional<JobOwner>& owner) {
    char pattern[] = "/tmp/pdfinst-XXXXXX";
    if (!::mkdtemp(pattern))
        throw BackendError(kBackendFailed,
                           std::string("cannot make a temporary folder in /tmp: ") + std::strerror(errno));
    m_path = pattern;
    const auto fail = [&](const std::string& what) {
        const std::string reason = std::strerror(errno);
        m_document.reset();
        RemoveTree(AT_FDCWD, m_path.c_str(), 0);
        throw BackendError(kBackendFailed, what + ": " + reason);
    };
    const Fd folder(::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!folder) fail("cannot open the temporary folder " + m_path);
    // Made while the folder is still this process's alone: nothing can be waiting at its name.
    m_document = Fd(::openat(folder.get(), kDocument, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!m_document) fail("cannot make the job's copy in " + m_path);
    if (!owner) return;
    if (::fchown(m_document.get(), owner->uid, owner->gid) != 0 || ::fchown(folder.get(), owner->uid, owner->gid) != 0)
        fail("cannot give the temporary folder to " + owner->name);
}

PrivateFolder::~PrivateFolder() { RemoveTree(AT_FDCWD, m_path.c_str(), 0); }

std::uint64_t PrivateFolder::Bytes(std::set<FileId>* counted) const {
    constexpr std::uint64_t kBlockBytes = 512; // st_blocks counts these
    std::uint64_t bytes = 0;
    const Fd folder(::open(m_path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    DIR* listing = folder ? ::fdopendir(::dup(folder.get())) : nullptr;
    if (!listing) return bytes;
    struct stat st {};
    while (const dirent* entry = ::readdir(listing))
        if (::fstatat(folder.get(), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode) &&
            (!counted || counted->insert({st.st_dev, st.st_ino}).second))
            bytes += static_cast<std::uint64_t>(st.st_blocks) * kBlockBytes;
    ::closedir(listing);
    return bytes;
}

} // namespace quill::pdfinst
