#include "engine/SerialQueue.h"

#include "VirtualTime.h"

#include <atomic>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace orvane;

TEST(SerialQueue, RunsTasksInOrderOnOneNamedThread) {
    std::vector<int> order;
    std::string name;
    int nice = -100;
    {
        SerialQueue queue("orvane.diagnostics", QueuePriority::background);
        for (int i = 0; i < 100; ++i)
            queue.post([&order, i] { order.push_back(i); });
        queue.post([&] {
            char buffer[32] = {};
            pthread_getname_np(pthread_self(), buffer, sizeof buffer);
            name = buffer;
            errno = 0;
            nice = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
        });
        queue.sync();
    }
    ASSERT_EQ(order.size(), 100u);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_EQ(name, "orvane.diagnost"); // Linux keeps 15 characters
    EXPECT_GE(nice, 10);                // never less nice than asked (a test runner may itself be niced)
}

TEST(SerialQueue, DelayedTasksRunWhenDueAndInDueOrder) {
    SerialQueue queue("orvane.test", QueuePriority::standard);
    std::mutex m;
    std::vector<int> order;
    std::atomic<int> count{0};
    queue.postAfter(0.06, [&] {
        std::lock_guard l(m);
        order.push_back(3);
        ++count;
    });
    queue.postAfter(0.02, [&] {
        std::lock_guard l(m);
        order.push_back(2);
        ++count;
    });
    queue.post([&] {
        std::lock_guard l(m);
        order.push_back(1);
        ++count;
    });
    auto start = std::chrono::steady_clock::now();
    while (count < 3 && std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::lock_guard l(m);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(SerialQueue, DestructionFinishesPostedWorkAndDropsDelayedWork) {
    std::atomic<int> ran{0};
    {
        SerialQueue queue("orvane.test", QueuePriority::utility);
        queue.post([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ++ran;
        });
        queue.post([&] { ++ran; });
        queue.postAfter(60, [&] { ran += 100; });
    }
    EXPECT_EQ(ran, 2);
}

TEST(VirtualTime, RunsWorkAcrossQueuesInDueOrderAndMovesTheClock) {
    test::ManualClock clock;
    test::ManualScheduler scheduler(clock);
    test::ManualQueue main(scheduler), frames(scheduler);
    double start = clock.uptime();
    std::vector<std::pair<std::string, double>> log;
    main.postAfter(0.5, [&] { log.emplace_back("refit", clock.uptime() - start); });
    frames.post([&] {
        log.emplace_back("frame", clock.uptime() - start);
        main.postAfter(0.2, [&] { log.emplace_back("nested", clock.uptime() - start); });
    });
    scheduler.advance(0.3);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], (std::pair<std::string, double>{"frame", 0.0}));
    EXPECT_EQ(log[1].first, "nested");
    EXPECT_NEAR(log[1].second, 0.2, 1e-9);
    EXPECT_NEAR(clock.uptime() - start, 0.3, 1e-9);
    scheduler.advance(0.2);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[2].first, "refit");
    EXPECT_NEAR(log[2].second, 0.5, 1e-9);
}
