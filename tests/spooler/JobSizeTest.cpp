#include "spooler/CupsJobQueries.h"

#include <gtest/gtest.h>

#include <climits>

using namespace quill::spooler;

TEST(JobSize, KiloOctetsBecomeBytesAndJobsOf4GiBOrMoreShowTheLargestSize) {
    const struct {
        int kOctets;
        std::uint32_t bytes;
    } rows[] = {
        {0, 0u},
        {1, 1024u},
        {4194303, 4294966272u},        // 4 GiB - 1 KiB: still exact
        {4194304, 0xFFFFFFFFu},        // 4 GiB would wrap to 0
        {4194305 + 1024, 0xFFFFFFFFu}, // would wrap to about a megabyte
        {INT_MAX, 0xFFFFFFFFu},
        {-1, 0u}, // a server's nonsense is no size
    };
    for (const auto& row : rows) EXPECT_EQ(JobSizeBytes(row.kOctets), row.bytes) << row.kOctets;
}
