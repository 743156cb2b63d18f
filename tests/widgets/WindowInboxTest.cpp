// Work handed to a window's thread: it runs there, in each poster's order, and what is not
// run yet goes with the inbox, on the window's thread.
#include "widgets/WindowInbox.h"

#include <QEventLoop>
#include <QObject>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace quill;

TEST(WindowInbox, WorkFromManyThreadsRunsOnTheWindowsThreadInEachPostersOrder) {
    QObject window;
    widgets::WindowInbox inbox(&window);
    constexpr int kThreads = 4;
    constexpr int kEach = 200;
    std::map<int, std::vector<int>> seen; // the window's thread only
    int elsewhere = 0;
    std::vector<std::thread> posters;
    for (int t = 0; t < kThreads; ++t) {
        posters.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                inbox.Post([&, t, i] {
                    if (QThread::currentThread() != window.thread()) ++elsewhere;
                    seen[t].push_back(i);
                });
        });
    }
    for (auto& poster : posters) poster.join();
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            std::size_t all = 0;
            for (const auto& [t, items] : seen) all += items.size();
            return all == kThreads * kEach;
        },
        5000));
    EXPECT_EQ(elsewhere, 0);
    for (const auto& [t, items] : seen) EXPECT_TRUE(std::is_sorted(items.begin(), items.end())) << "poster " << t;
}

TEST(WindowInboxEnd, WorkNotRunYetIsDroppedOnTheWindowsThreadAndWorkThatEndsTheInboxStopsTheRest) {
    QObject window;
    // Dropped with the inbox: nothing runs, and what the work holds is let go here.
    auto held = std::make_shared<int>();
    bool ran = false;
    {
        widgets::WindowInbox inbox(&window);
        std::thread([&] { inbox.Post([&ran, held] { ran = true; }); }).join();
    }
    QTest::qWait(50);
    EXPECT_FALSE(ran);
    EXPECT_EQ(held.use_count(), 1);

    // Work that ends its inbox: the work after it does not run, and nothing is touched
    // after the end.
    auto inbox = std::make_unique<widgets::WindowInbox>(&window);
    std::vector<std::string> runs;
    inbox->Post([&] {
        runs.push_back("first");
        inbox.reset();
    });
    inbox->Post([&] { runs.push_back("second"); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return !inbox; }, 5000));
    QTest::qWait(50);
    EXPECT_EQ(runs, std::vector<std::string>{"first"});
}

TEST(WindowInboxOrder, WorkWaitingInANestedEventLoopKeepsTheOrderOfTheWorkPostedAfterIt) {
    QObject window;
    widgets::WindowInbox inbox(&window);
    std::vector<std::string> runs;
    inbox.Post([&] {
        runs.push_back("asks");
        // As a question for a password does: a loop of its own, while more work comes.
        QEventLoop loop;
        std::thread([&] { inbox.Post([&] { runs.push_back("posted while asking"); }); }).join();
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
        loop.exec();
    });
    inbox.Post([&] { runs.push_back("posted before"); });
    ASSERT_TRUE(QTest::qWaitFor([&] { return runs.size() == 3; }, 5000));
    EXPECT_EQ(runs, (std::vector<std::string>{"asks", "posted before", "posted while asking"}));
}
