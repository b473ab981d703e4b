#include "core/DriftMonitor.h"

#include <gtest/gtest.h>

using namespace orvane;

namespace {
void record(DriftMonitor& monitor, int count, bool correct) {
    for (int i = 0; i < count; ++i)
        monitor.record(correct);
}
} // namespace

TEST(DriftMonitor, NoVerdictBeforeTheMinimumCountAndAgainAfterAReset) {
    DriftMonitor monitor(30, 15, 0.7);
    for (const char* state : {"new", "reset"}) {
        EXPECT_FALSE(monitor.accuracy()) << state;
        record(monitor, 14, false);
        EXPECT_EQ(monitor.accuracy(), 0.0) << state;
        EXPECT_FALSE(monitor.accuracyDropped()) << state;
        monitor.record(false);
        EXPECT_TRUE(monitor.accuracyDropped()) << state;
        monitor.reset();
    }
    for (int window : {0, -3}) { // nothing is retained
        DriftMonitor empty(window, 0, 0.7);
        record(empty, 5, false);
        EXPECT_FALSE(empty.accuracy()) << window;
        EXPECT_FALSE(empty.accuracyDropped()) << window;
    }
}

TEST(DriftMonitor, OnlyTheLastWindowCountsAndTheThresholdIsStrict) {
    // 21 right and 9 wrong is exactly 0.7: no drop. One more wrong pushes the oldest out.
    for (bool oldestRight : {true, false}) {
        DriftMonitor monitor(30, 15, 0.7);
        record(monitor, oldestRight ? 21 : 9, oldestRight);
        record(monitor, oldestRight ? 9 : 21, !oldestRight);
        EXPECT_EQ(monitor.accuracy(), 21.0 / 30.0);
        EXPECT_FALSE(monitor.accuracyDropped());
        monitor.record(false);
        EXPECT_EQ(monitor.accuracy(), oldestRight ? 20.0 / 30.0 : 21.0 / 30.0);
        EXPECT_EQ(monitor.accuracyDropped(), oldestRight);
    }
    DriftMonitor monitor(30, 15, 0.7);
    monitor.record(false);
    record(monitor, 30, true);
    EXPECT_EQ(monitor.accuracy(), 1.0);
}
