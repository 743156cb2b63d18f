#pragma once

#include "PrivateFolder.h"

#include <sys/types.h>

#include <cstdint>

namespace quill::pdfinst {

// The room on disk a running conversion takes: every file in its private folder, and every
// file the converting process holds open that has no name any more (a temporary file it
// deleted and keeps writing through its descriptor), each file once. pdf, the PDF being
// written, is not counted: it has a bound of its own.
std::uint64_t DiskBytes(const PrivateFolder& folder, pid_t converter, FileId pdf);

// The converting process's address space now, in bytes; 0 when it cannot be read.
std::uint64_t AddressSpace(pid_t converter);

} // namespace quill::pdfinst
