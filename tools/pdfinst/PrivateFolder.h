#pragma once

#include "Fd.h"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>

namespace quill::pdfinst {

struct JobOwner;

// A file by its device and inode: one file under several names or descriptors counts once.
using FileId = std::pair<dev_t, ino_t>;

// A fresh folder of mode 0700 below /tmp for one conversion's temporary files: the only
// place the interpreter may write. It belongs to owner when given (the account that
// converts), else to this process's user, and goes with everything in it when the object
// goes out of scope; nothing in it is followed, a symbolic link there is removed as a link.
// It holds one file from the start, the job's copy (kDocument), of the same owner, made
// before anyone else may write there.
class PrivateFolder {
public:
    static constexpr const char* kDocument = "job.ps";

    // Throws BackendError.
    explicit PrivateFolder(const std::optional<JobOwner>& owner);
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    const std::string& path() const { return m_path; }
    std::string documentPath() const { return m_path + "/" + kDocument; }
    // The job's copy, open for writing.
    int document() const { return m_document.get(); }
    // The room its files take on disk now (links not followed); each file counted is
    // added to counted.
    std::uint64_t Bytes(std::set<FileId>* counted = nullptr) const;

private:
    std::string m_path;
    Fd m_document;
};

} // namespace quill::pdfinst
