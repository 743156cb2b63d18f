#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

namespace quill::pdfinst {

// The local account a job belongs to.
struct JobOwner {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string home;
};

// The account of the job's user when it is root or a person's account (a user id from
// UID_MIN to UID_MAX of /etc/login.defs) with a home folder; nothing otherwise (a user of
// another computer, a system account, an account without a home): such jobs go to the
// spool folder.
std::optional<JobOwner> LookUpOwner(const std::string& user);

// Gives up root for good and becomes the owner (their groups, group and user id), so that
// everything after this happens with the owner's rights only. Checks that root cannot
// be taken back. Throws BackendError.
void BecomeOwner(const JobOwner& owner);

// The owner of jobs whose user this computer does not know: root with root's groups.
inline JobOwner SpoolOwner() { return JobOwner{"root", 0, 0, "/"}; }

// The account that converts the documents root may not: those of root, of system accounts
// and of users unknown here. It owns nothing worth taking: nobody.
JobOwner ConverterAccount();

} // namespace quill::pdfinst
