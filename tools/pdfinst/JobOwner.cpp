#include "JobOwner.h"

#include "BackendError.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace quill::pdfinst {

namespace {

// Debian's defaults when /etc/login.defs does not say.
constexpr uid_t kFirstPersonUid = 1000;
constexpr uid_t kLastPersonUid = 60000;
constexpr uid_t kNobody = 65534;

// Whether uid belongs to a person rather than to the system, as useradd tells them apart.
bool IsPersonUid(uid_t uid) {
    uid_t first = kFirstPersonUid;
    uid_t last = kLastPersonUid;
    std::ifstream defs("/etc/login.defs");
    for (std::string line; std::getline(defs, line);) {
        std::istringstream words(line);
        std::string key;
        unsigned long value = 0;
        if (!(words >> key >> value)) continue;
        if (key == "UID_MIN") first = static_cast<uid_t>(value);
        else if (key == "UID_MAX") last = static_cast<uid_t>(value);
    }
    return uid >= first && uid <= last;
}

} // namespace

std::optional<JobOwner> LookUpOwner(const std::string& user) {
    if (user.empty()) return std::nullopt;
    const passwd* entry = ::getpwnam(user.c_str());
    if (!entry || !entry->pw_dir || entry->pw_dir[0] != '/') return std::nullopt;
    if (entry->pw_uid != 0 && !IsPersonUid(entry->pw_uid)) return std::nullopt;
    struct stat home {};
    if (::stat(entry->pw_dir, &home) != 0 || !S_ISDIR(home.st_mode)) return std::nullopt;
    return JobOwner{entry->pw_name, entry->pw_uid, entry->pw_gid, entry->pw_dir};
}

void BecomeOwner(const JobOwner& owner) {
    // CUPS starts a root backend with the group lp: root's own files get root's groups too.
    if (::geteuid() != 0 && ::geteuid() == owner.uid && ::getuid() == owner.uid) return;
    // Without root this job is lost, not the queue: another user's job (a server that runs as
    // its user takes any user name a client gives) must not stop printing for everyone.
    if (::geteuid() != 0)
        throw BackendError(kBackendCancel, "pdfinst runs as user " + std::to_string(::geteuid()) +
                                               ", not root, so it cannot write as " + owner.name +
                                               ": install it with mode 0700 owned by root");
    const auto fail = [&](const char* step) {
        throw BackendError(kBackendFailed,
                           std::string(step) + " for " + owner.name + " failed: " + std::strerror(errno));
    };
    if (::initgroups(owner.name.c_str(), owner.gid) != 0) fail("initgroups");
    if (::setgid(owner.gid) != 0) fail("setgid");
    if (::setuid(owner.uid) != 0) fail("setuid");
    if (owner.uid != 0 && (::setuid(0) == 0 || ::geteuid() != owner.uid || ::getegid() != owner.gid))
        throw BackendError(kBackendFailed, "pdfinst could not give up root for " + owner.name);
}

JobOwner ConverterAccount() {
    const passwd* entry = ::getpwnam("nobody");
    if (!entry || entry->pw_uid == 0) return JobOwner{"nobody", kNobody, kNobody, "/nonexistent"};
    return JobOwner{entry->pw_name, entry->pw_uid, entry->pw_gid, entry->pw_dir};
}

} // namespace quill::pdfinst
