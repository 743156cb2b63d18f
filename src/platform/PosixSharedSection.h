#pragma once

#include "platform/PrivateFolder.h"
#include "platform/SharedSection.h"

#include <string>
#include <vector>

namespace quill::platform {

// Named sections as files of the user's private folder (PrivateFolder: $XDG_RUNTIME_DIR,
// else a folder of the user's own that no one else may enter), mapped into memory. Only
// the user can place a section there, so nothing another user makes can stop a start or
// name the window to bring forward. Where the user has no such folder, each copy gets a
// section of its own and runs as the first copy.
//
// A section that outlives every copy of the program (a copy killed before it could leave)
// counts as not existing: each handle of a running copy holds a shared flock on the
// object, and a creator that can take the lock exclusively knows that nobody uses the old
// contents any more.
class PosixSharedSection final : public SharedSection {
public:
    // fallbackParents: where the private folder is looked for when $XDG_RUNTIME_DIR is
    // not one (PrivateFolder::Open).
    explicit PosixSharedSection(std::vector<std::string> fallbackParents = PrivateFolder::DefaultParents());

    Created CreateFileMappingA(const std::string& name) override;
    std::unique_ptr<SectionHandle> OpenFileMappingA(const std::string& name) override;
    std::unique_ptr<StartLock> LockStarts(const std::string& name) override;

    // The object name for a section name: "/quill-<uid>-" and the name with every byte
    // outside [A-Za-z0-9._-] written as %XX; long names end in a hash. Its file in the
    // private folder is this name without the leading "/".
    static std::string ObjectName(const std::string& name);

private:
    std::vector<std::string> m_fallbackParents;
};

} // namespace quill::platform
