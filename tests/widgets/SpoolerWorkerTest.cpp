// A window's worker: answers come back in order on the window's thread, also after a task
// failed.
#include "widgets/SpoolerWorker.h"

#include "spooler/LastError.h"

#include <QObject>
#include <QTest>

#include <gtest/gtest.h>

#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

using namespace quill;

TEST(SpoolerWorker, ATaskThatThrowsAnswersWithTheEmptyValueAndTheNextTasksStillRun) {
    QObject window;
    std::vector<std::string> answers;
    std::vector<std::string> failures;
    spooler::SetFailureSink(
        [&](const std::string&, const spooler::Failure& failure) { failures.push_back(failure.reason); });
    {
        widgets::SpoolerWorker worker(&window);
        worker.Post([]() -> bool { throw std::bad_alloc(); },
                    [&](bool ok) { answers.push_back(ok ? "true" : "false"); });
        worker.Post([]() -> std::optional<int> { throw std::runtime_error("no printer list"); },
                    [&](std::optional<int> n) { answers.push_back(n ? std::to_string(*n) : "nothing"); });
        worker.Post([] { return 7; }, [&](int n) { answers.push_back(std::to_string(n)); });
        EXPECT_TRUE(QTest::qWaitFor([&] { return answers.size() == 3; }, 5000));
        EXPECT_FALSE(worker.Busy());
    }
    spooler::SetFailureSink(nullptr);
    EXPECT_EQ(answers, (std::vector<std::string>{"false", "nothing", "7"}));
    ASSERT_EQ(failures.size(), 2u);
    EXPECT_EQ(failures[1], "no printer list");
}
