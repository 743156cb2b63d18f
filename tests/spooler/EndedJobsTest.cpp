#include "spooler/EndedJobs.h"

#include <gtest/gtest.h>

#include <vector>

namespace quill::spooler {
namespace {

using Ids = std::vector<std::uint32_t>;

std::vector<JobInfo2> Jobs(const Ids& ids) {
    std::vector<JobInfo2> jobs;
    for (std::uint32_t id : ids) {
        JobInfo2 job;
        job.JobId = id;
        jobs.push_back(job);
    }
    return jobs;
}

// Successive looks at one queue: the jobs open at each, whether the server then told how
// the ended ones ended, and what each look reports as ended.
TEST(EndedJobs, EachEndIsReportedOnceAndKeptUntilTheServerToldIt) {
    struct Look {
        Ids open;
        bool answered;
        Ids ended;
    };
    const std::vector<Look> looks = {
        {{1, 2, 3}, true, {}}, // the first look knows nothing earlier
        {{2, 3}, true, {1}},   // 1 was open and is gone
        {{2, 3}, true, {}},    // told once only
        {{3}, false, {2}},     // 2 ended, but how is not known yet
        {{3}, true, {2}},      // so it comes again
        {{4}, true, {3}},      {{}, true, {4}},
    };
    EndedJobs jobs;
    int number = 0;
    for (const Look& look : looks) {
        SCOPED_TRACE(++number);
        const Ids ended = jobs.Next(Jobs(look.open));
        EXPECT_EQ(ended, look.ended);
        if (!look.answered) jobs.Unreported(ended);
    }
}

} // namespace
} // namespace quill::spooler
