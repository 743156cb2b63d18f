#pragma once

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace quill::test {

// A fresh 0700 folder that stands as XDG_RUNTIME_DIR while this lives; the variable is
// given back as it was, and the folder removed, when it goes.
class PrivateRuntime {
public:
    explicit PrivateRuntime(const std::string& prefix) {
        std::string pattern = "/tmp/" + prefix + "-XXXXXX";
        if (!::mkdtemp(pattern.data())) throw std::runtime_error("cannot make " + pattern);
        path = pattern;
        if (const char* was = std::getenv("XDG_RUNTIME_DIR")) m_saved = was;
        ::setenv("XDG_RUNTIME_DIR", path.c_str(), 1);
    }
    ~PrivateRuntime() {
        if (m_saved) ::setenv("XDG_RUNTIME_DIR", m_saved->c_str(), 1);
        else ::unsetenv("XDG_RUNTIME_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    PrivateRuntime(const PrivateRuntime&) = delete;
    PrivateRuntime& operator=(const PrivateRuntime&) = delete;

    std::string path;

private:
    std::optional<std::string> m_saved;
};

} // namespace quill::test
