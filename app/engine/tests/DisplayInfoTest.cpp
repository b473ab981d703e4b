#include "engine/DisplayInfo.h"

#include <gtest/gtest.h>

using namespace orvane;

TEST(DisplayInfo, AWindowBelongsToTheDisplayHoldingMostOfIt) {
    EXPECT_EQ(Rect({100, 50, 400, 300}).intersection({300, 0, 1000, 200}), (Rect{300, 50, 200, 150}));
    EXPECT_TRUE(Rect({0, 0, 100, 100}).intersection({100, 0, 100, 100}).isEmpty()); // edges only touch

    const DisplayInfo left{1, "L", "Left", {0, 0, 1920, 1080}}, right{2, "R", "Right", {1920, 0, 1920, 1080}};
    const std::pair<Rect, std::optional<std::string>> windows[] = {
        {{1800, 100, 400, 300}, "R"}, // straddling the border, mostly on the right
        {{1600, 100, 400, 300}, "L"},
        {{4000, 100, 400, 300}, std::nullopt}, // off every display
        {{900, 500, 0, 0}, "L"},               // no area: the display holding its centre
    };
    for (const auto& [window, expected] : windows) {
        const auto found = displayFor(window, {left, right});
        EXPECT_EQ(found ? std::optional(found->uuid) : std::nullopt, expected) << window.x;
    }
}
