#include "core/DriftMonitor.h"

#include <gtest/gtest.h>

using namespace orvane;

namespace {

void recordMany(DriftMonitor& monitor, int count, bool correct) {
    for (int i = 0; i < count; ++i)
        monitor.record(correct);
}

} // namespace

TEST(DriftMonitor, NewMonitorHasNoVerdict) {
    DriftMonitor monitor(30, 15, 0.7);
    EXPECT_FALSE(monitor.accuracy());
    EXPECT_FALSE(monitor.accuracyDropped());
}

TEST(DriftMonitor, NoDropBeforeTheMinimumCount) {
    DriftMonitor monitor(30, 15, 0.7);
    recordMany(monitor, 14, false);
    EXPECT_EQ(monitor.accuracy(), 0.0);
    EXPECT_FALSE(monitor.accuracyDropped());
    monitor.record(false);
    EXPECT_TRUE(monitor.accuracyDropped());
}

TEST(DriftMonitor, ThresholdIsStrictAndTheWindowSlides) {
    DriftMonitor oldestRight(30, 15, 0.7);
    recordMany(oldestRight, 21, true);
    recordMany(oldestRight, 9, false);
    EXPECT_EQ(oldestRight.accuracy(), 21.0 / 30.0);
    EXPECT_FALSE(oldestRight.accuracyDropped());
    oldestRight.record(false);
    EXPECT_EQ(oldestRight.size(), 30u);
    EXPECT_EQ(oldestRight.accuracy(), 20.0 / 30.0);
    EXPECT_TRUE(oldestRight.accuracyDropped());

    DriftMonitor oldestWrong(30, 15, 0.7);
    recordMany(oldestWrong, 9, false);
    recordMany(oldestWrong, 21, true);
    oldestWrong.record(false);
    EXPECT_EQ(oldestWrong.accuracy(), 21.0 / 30.0);
    EXPECT_FALSE(oldestWrong.accuracyDropped());
}

TEST(DriftMonitor, OnlyTheLastWindowCounts) {
    DriftMonitor monitor(30, 15, 0.7);
    monitor.record(false);
    recordMany(monitor, 29, true);
    EXPECT_EQ(monitor.accuracy(), 29.0 / 30.0);
    monitor.record(true);
    EXPECT_EQ(monitor.accuracy(), 1.0);
}

TEST(DriftMonitor, ResetKeepsParameters) {
    DriftMonitor monitor(30, 15, 0.7);
    recordMany(monitor, 20, false);
    ASSERT_TRUE(monitor.accuracyDropped());
    monitor.reset();
    EXPECT_FALSE(monitor.accuracy());
    EXPECT_FALSE(monitor.accuracyDropped());
    EXPECT_EQ(monitor.window(), 30);
    EXPECT_EQ(monitor.minimumCount(), 15);
    EXPECT_EQ(monitor.threshold(), 0.7);
    recordMany(monitor, 14, false);
    EXPECT_FALSE(monitor.accuracyDropped()); // filling again from scratch
}

TEST(DriftMonitor, EmptyWindowRetainsNothing) {
    for (int window : {0, -3}) {
        DriftMonitor monitor(window, 0, 0.7);
        recordMany(monitor, 5, false);
        EXPECT_EQ(monitor.size(), 0u) << window;
        EXPECT_FALSE(monitor.accuracy()) << window;
        EXPECT_FALSE(monitor.accuracyDropped()) << window;
    }
}
