#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quill::platform {

// A folder where only this user can place anything: a folder (not a symbolic link) owned
// by the user that no one else may enter, read or write (mode 0700 or stricter). Held
// open, so that what is made in it goes there even if its path is changed meanwhile.
class PrivateFolder {
public:
    // The default places after $XDG_RUNTIME_DIR: quill-<uid> under each of them.
    static const std::vector<std::string>& DefaultParents();

    // $XDG_RUNTIME_DIR when it is such a folder; else quill-<uid> in the first of parents
    // that is (made with mode 0700 when missing; one that another user made first is
    // passed by); nullopt when none is.
    static std::optional<PrivateFolder> Open(const std::vector<std::string>& parents = DefaultParents());

    PrivateFolder(PrivateFolder&& other) noexcept;
    PrivateFolder& operator=(PrivateFolder&& other) noexcept;
    PrivateFolder(const PrivateFolder&) = delete;
    PrivateFolder& operator=(const PrivateFolder&) = delete;
    ~PrivateFolder();

    int fd() const { return m_fd; }
    const std::string& path() const { return m_path; }

private:
    PrivateFolder(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    int m_fd = -1;
    std::string m_path;
};

} // namespace quill::platform
