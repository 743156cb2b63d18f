#pragma once

#include <memory>
#include <string>

namespace quill::platform {

// The mapped 8 bytes of a named section; unmapped when destroyed.
class SectionView {
public:
    virtual ~SectionView() = default;
    virtual unsigned char* bytes() = 0;
};

// An open handle to a named section; closed when destroyed.
class SectionHandle {
public:
    virtual ~SectionHandle() = default;
    // nullptr when the section cannot be mapped.
    virtual std::unique_ptr<SectionView> MapViewOfFile() = 0;
};

// Held while one start of the program checks and changes the section, so that two
// starts at the same moment are seen one after the other.
class StartLock {
public:
    virtual ~StartLock() = default;
};

// Named shared sections of kSectionSize bytes, created zeroed, private to the user.
class SharedSection {
public:
    static constexpr unsigned kSectionSize = 8;

    struct Created {
        std::unique_ptr<SectionHandle> handle; // nullptr on failure, with error set
        bool alreadyExists = false;
        int error = 0; // errno value
    };

    virtual ~SharedSection() = default;
    // Creates the section or opens the existing one, and tells which it was.
    virtual Created CreateFileMappingA(const std::string& name) = 0;
    // Opens an existing section by name; nullptr when that fails.
    virtual std::unique_ptr<SectionHandle> OpenFileMappingA(const std::string& name) = 0;
    // Serialises the starts and ends of copies that use the same name.
    virtual std::unique_ptr<StartLock> LockStarts(const std::string& name) = 0;
};

} // namespace quill::platform
