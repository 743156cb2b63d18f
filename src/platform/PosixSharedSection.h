#pragma once

#include "platform/SharedSection.h"

namespace quill::platform {

// Named sections as POSIX shared memory objects. A section that outlives every copy of
// the program (a copy killed before it could leave) counts as not existing: each
// handle of a running copy holds a shared flock on the object, and a creator that can
// take the lock exclusively knows that nobody uses the old contents any more.
class PosixSharedSection final : public SharedSection {
public:
    Created CreateFileMappingA(const std::string& name) override;
    std::unique_ptr<SectionHandle> OpenFileMappingA(const std::string& name) override;
    std::unique_ptr<StartLock> LockStarts(const std::string& name) override;

    // The shared memory object name for a section name: "/quill-<uid>-" and the name
    // with every byte outside [A-Za-z0-9._-] written as %XX; long names end in a hash.
    static std::string ObjectName(const std::string& name);
};

} // namespace quill::platform
