#include "simulated-user/HeadMotion.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

using namespace orvane::simulated;

namespace {

constexpr double degree = M_PI / 180;
constexpr double frame = 1.0 / 15;

} // namespace

// A 20 degree turn: smooth and complete within half a second, without going past the target.
TEST(HeadMotionTest, TurnsTakeAboutHalfASecond) {
    HeadMotion motion(1);
    const orvane::headrender::HeadPlacement resting;
    motion.lookTowards({0, 0, 0});
    motion.at(0, resting);
    motion.lookTowards({20 * degree, -10 * degree, 0});
    std::optional<double> mostOf; // 90 % of the turn made
    double furthest = 0;
    for (double t = frame; t < 2; t += frame) {
        const auto placement = motion.at(t, resting);
        furthest = std::max(furthest, placement.yaw);
        if (!mostOf && placement.yaw > 18 * degree) mostOf = t;
    }
    ASSERT_TRUE(mostOf);
    EXPECT_GE(*mostOf, 0.25);
    EXPECT_LE(*mostOf, 0.5);
    // Only sway and tremor go past the target (a degree or two at most).
    EXPECT_LT(furthest, 22 * degree);
}

// Holds are steady enough for a calibration (yaw and pitch each within 6 degrees over 0.9 s, here within
// 3) but never frozen; the head also sways a few millimetres. The same seed moves the same way.
TEST(HeadMotionTest, HoldsSwayALittle) {
    HeadMotion motion(7), again(7), other(8);
    const orvane::headrender::HeadPlacement resting;
    for (HeadMotion* m : {&motion, &again, &other})
        m->lookTowards({10 * degree, -5 * degree, 0});
    std::vector<orvane::headrender::HeadPlacement> holds;
    bool different = false;
    for (int i = 0; i < 30 * 15; ++i) {
        holds.push_back(motion.at(i * frame, resting));
        EXPECT_EQ(again.at(i * frame, resting).yaw, holds.back().yaw);
        different = different || other.at(i * frame, resting).yaw != holds.back().yaw;
    }
    EXPECT_TRUE(different);
    double largestSpread = 0, smallestSpread = 1, reach = 0;
    for (std::size_t start = 0; start + 14 <= holds.size(); start += 7) {
        const auto window =
            std::vector(holds.begin() + std::ptrdiff_t(start), holds.begin() + std::ptrdiff_t(start + 14));
        for (double orvane::headrender::HeadPlacement::*angle :
             {&orvane::headrender::HeadPlacement::yaw, &orvane::headrender::HeadPlacement::pitch}) {
            const auto [low, high] =
                std::minmax_element(window.begin(), window.end(),
                                    [&](const auto& a, const auto& b) { return a.*angle < b.*angle; });
            largestSpread = std::max(largestSpread, (*high).*angle - (*low).*angle);
            smallestSpread = std::min(smallestSpread, (*high).*angle - (*low).*angle);
        }
    }
    for (const auto& hold : holds)
        reach =
            std::max({reach, std::abs(hold.x), std::abs(hold.y), std::abs(hold.distance - resting.distance)});
    EXPECT_LT(largestSpread, 3 * degree);
    EXPECT_GT(smallestSpread, 0.1 * degree);
    EXPECT_GT(reach, 2);
    EXPECT_LT(reach, 15);
}
