#pragma once

#include <stdexcept>
#include <string>

namespace quill::zip {

// The ZIP component's errors. ClassName() names the class, for reports.
class EZipperException : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual const char* ClassName() const { return "EZipperException"; }
};

#define QUILL_ZIP_EXCEPTION(Name, Base)                                                                                \
    class Name : public Base {                                                                                         \
    public:                                                                                                            \
        using Base::Base;                                                                                              \
        const char* ClassName() const override { return #Name; }                                                       \
    };

QUILL_ZIP_EXCEPTION(EFatalUnzipError, EZipperException)
QUILL_ZIP_EXCEPTION(EUserCanceled, EZipperException)
QUILL_ZIP_EXCEPTION(EBiggerThanUncompressed, EZipperException)
QUILL_ZIP_EXCEPTION(ECantWriteUCF, EZipperException)
QUILL_ZIP_EXCEPTION(ECanceledUnzipToBuffer, EZipperException)
QUILL_ZIP_EXCEPTION(EIncompleteZip, EZipperException)
QUILL_ZIP_EXCEPTION(ENotAZipFile, EZipperException)
QUILL_ZIP_EXCEPTION(EBadZipFile, EZipperException)
QUILL_ZIP_EXCEPTION(ENotEnoughRoom, EZipperException)

// zlib's failures, outside the component's own family.
class EZLibError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual const char* ClassName() const { return "EZLibError"; }
};
QUILL_ZIP_EXCEPTION(EZCompressionError, EZLibError)

// Errors of the sorted entry lists.
class EListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual const char* ClassName() const { return "EListError"; }
};

#undef QUILL_ZIP_EXCEPTION

// The component's message texts.
namespace text {
inline constexpr const char* kPrematureEnd = "Premature end of file reached";
inline constexpr const char* kUserAborted = "User Aborted Operation";
inline constexpr const char* kCanceledZipName = "User canceled setting zip file name.";
inline constexpr const char* kCanceledDestDir = "User canceled Set Desination Directory";
inline constexpr const char* kCanceledNewDisk = "User canceled loading new disk.";
inline constexpr const char* kBiggerThanUncompressed = "File is larger than uncompressed size!";
inline constexpr const char* kCantWriteUCF = "Cant write uncompressed file";
inline constexpr const char* kCanceledUnzipToBuffer = "User canceled Buffered Memory UnZip";
inline constexpr const char* kIncompleteZip = "Incomplete Zip File";
inline constexpr const char* kNotAZip = "Not a valid zip file!";
inline constexpr const char* kZlibError = "error";
inline constexpr const char* kDuplicateObject = "Duplicate Object index";
inline constexpr const char* kCannotPut = "Cannot <Put> an Object in a sorted list!";
inline constexpr const char* kIndexOutOfRange = "Index %d is out of range";
inline constexpr const char* kUnknownMethod = "Unknown Compression Method";
inline constexpr const char* kZipErrorCaption = "Zip Error";
inline constexpr const char* kReplaceExisting = "Replace existing file ";
inline constexpr const char* kFileExistsCaption = "File Exists Alert";
inline constexpr const char* kNoDestDir = "No destination folder for the extracted files (DestDir is empty)";
} // namespace text

} // namespace quill::zip

namespace quill::zip {

// The archive file cannot be opened.
class EFOpenError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    virtual const char* ClassName() const { return "EFOpenError"; }
};

} // namespace quill::zip
