#pragma once

#include <string>

namespace quill::backup {

// Deletes a folder with everything in it; nothing is reported. Symbolic links are
// deleted as links: neither the path itself nor anything below it is followed, so
// nothing outside the folder is ever touched. Folders without write or search
// permission are made writable first, as read-only files are on Windows.
void DeleteFolderTree(const std::string& path);

} // namespace quill::backup
