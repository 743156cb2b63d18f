#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace quill::pdfinst {

struct JobOwner;

// A fresh folder of mode 0700 below /tmp for one conversion's temporary files: the only
// place the interpreter may write. It belongs to owner when given (the account that
// converts), else to this process's user, and goes with everything in it when the object
// goes out of scope; nothing in it is followed, a symbolic link there is removed as a link.
class PrivateFolder {
public:
    // Throws BackendError.
    explicit PrivateFolder(const std::optional<JobOwner>& owner);
    ~PrivateFolder();
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;

    const std::string& path() const { return m_path; }
    // The room its files take on disk now (links not followed).
    std::uint64_t Bytes() const;

private:
    std::string m_path;
};

} // namespace quill::pdfinst
