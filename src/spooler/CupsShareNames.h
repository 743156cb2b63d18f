#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quill::spooler {

class CupsConnection;

// CUPS has no share name: printers and classes share one namespace, so a share name
// other than the queue's own is a shared class of that name whose one member is the
// printer. A printer has at most one such class; these helpers keep it so.

// The classes of the local server that hold exactly this one queue; nothing when the
// server could not tell (the reason is then the connection's error and the thread's last
// error): a caller that took that for "no classes" would leave a share name live.
std::optional<std::vector<std::string>> ShareNameClasses(CupsConnection& connection, const std::string& queue);

// The name under which a shared queue of the local server is shared: its share-name
// class, else the queue's own name; nothing when the server could not tell.
std::optional<std::string> ShareName(CupsConnection& connection, const std::string& queue);

// Deletes the queue's share-name classes other than keep (none when keep is empty);
// false with the reason (the thread's last error) when one could not be deleted.
bool RemoveShareNameClasses(CupsConnection& connection, const std::vector<std::string>& classes,
                            const std::string& keep = "");

} // namespace quill::spooler
