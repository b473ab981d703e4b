#include "engine/SerialQueue.h"

#include <future>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace orvane;

TEST(SerialQueue, RunsTasksInOrderOnANamedNicedThreadDelayedOnesWhenDueAndFinishesPostedWorkOnDestruction) {
    std::vector<int> order;
    std::string name(16, '\0');
    int nice = -100;
    std::promise<void> delayedDone;
    {
        SerialQueue queue("orvane.diagnostics", QueuePriority::background);
        queue.postAfter(0.06, [&] { order.push_back(4), delayedDone.set_value(); });
        queue.postAfter(0.02, [&] { order.push_back(3); });
        queue.postAfter(60, [&] { order.push_back(100); }); // dropped with the queue
        for (int i : {1, 2})
            queue.post([&order, i] { order.push_back(i); });
        queue.post([&] {
            pthread_getname_np(pthread_self(), name.data(), name.size());
            nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
        });
        ASSERT_EQ(delayedDone.get_future().wait_for(std::chrono::seconds(10)), std::future_status::ready);
        queue.post([&] { std::this_thread::sleep_for(std::chrono::milliseconds(20)), order.push_back(5); });
    }
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4, 5}));
    EXPECT_STREQ(name.c_str(), "orvane.diagnost"); // Linux keeps 15 characters
    EXPECT_GE(nice, 10); // at least as nice as asked (the test runner may itself be niced)
}
