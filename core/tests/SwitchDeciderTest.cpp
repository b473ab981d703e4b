#include "core/SwitchDecider.h"

#include "core/DriftMonitor.h"

#include <cmath>
#include <gtest/gtest.h>

using namespace orvane;

namespace {

using Decider = SwitchDecider;
using Status = SwitchDecider::Status;

// A prediction whose best screen is `screen` with probability p, out of two.
std::optional<ScreenPrediction> facing(const std::string& screen, double p = 0.9) {
    return ScreenPrediction{{p, 1 - p}, {screen, "other"}, false, 1.0};
}

const std::optional<ScreenPrediction> noFace;
const ScreenPrediction away{{0.9, 0.1}, {"A", "B"}, true, 5.0};

Status dwelling(const std::string& target, double progress) {
    return Decider::Dwelling{target, progress};
}

// One frame: what update() is given, the status after it, and the screen it returns.
struct Frame {
    std::optional<ScreenPrediction> prediction;
    double now;
    Status status;
    std::optional<std::string> switchTo = std::nullopt;
    InputActivity input = InputActivity::idle;
};

void run(Decider& decider, const std::vector<Frame>& frames) {
    for (const auto& frame : frames) {
        SCOPED_TRACE(testing::Message() << "at " << frame.now);
        EXPECT_EQ(decider.update(frame.prediction, frame.input, frame.now), frame.switchTo);
        EXPECT_EQ(decider.status(), frame.status) << caseName(decider.status());
    }
}

} // namespace

TEST(SwitchDecider, DwellSwitchThenCooldown) {
    Decider decider({});
    EXPECT_EQ(decider.status(), Status(Decider::NoFace{}));
    // The dwell has exactly elapsed at 0.3; the same screen comes back until didSwitch().
    run(decider, {{facing("A", 0.75), 0.0, dwelling("A", 0)}, // the threshold probability counts
                  {facing("A"), 0.15, dwelling("A", 0.5)},
                  {facing("A"), 0.3, dwelling("A", 0.5), "A"},
                  {facing("A"), 5.0, dwelling("A", 0.5), "A"}});
    decider.didSwitch("A", 0.25);
    run(decider, {{facing("A"), 0.4, Decider::OnActiveScreen{}},
                  {facing("B"), 0.5, dwelling("B", 0)},
                  {facing("B"), 0.8, Decider::CoolingDown{"B"}},
                  {facing("B"), 0.85, Decider::CoolingDown{"B"}, "B"}}); // the cooldown has exactly elapsed
}

TEST(SwitchDecider, ShortGapsKeepTheCandidateLongOnesDropIt) {
    Decider decider({});
    const auto resumed = dwelling("B", (1.2 - 1.0) / 0.3); // the dwell went on across the gap
    run(decider, {{facing("B"), 1.0, dwelling("B", 0)},
                  {noFace, 1.1, dwelling("B", 0)},
                  {facing("B"), 1.2, resumed},
                  {noFace, 1.3, resumed},               // no switch during a gap
                  {facing("B", 0.6), 1.35, resumed},    // an uncertain frame is a gap too
                  {noFace, 1.45, Decider::NoFace{}},    // 0.25 s after B was last seen
                  {facing("B"), 1.5, dwelling("B", 0)}, // the dwell starts over
                  {facing("C"), 1.7, dwelling("C", 0)}, // so does a new best screen's
                  {away, 2.0, Decider::OffScreen{}}});
    Decider::Configuration tolerant;
    tolerant.gapTolerance = 0.25;
    Decider exact(tolerant);
    run(exact, {{facing("B"), 1.0, dwelling("B", 0)},
                {away, 1.25, dwelling("B", 0)}, // exactly at the tolerance
                {away, 1.375, Decider::OffScreen{}}});
}

TEST(SwitchDecider, HoldBacksInPriorityOrder) {
    Decider decider({});
    decider.didSwitch("A", 1.0); // so that the cooldown holds too
    run(decider, {{facing("B"), 1.0, dwelling("B", 0)},
                  {facing("B"), 1.3, Decider::WaitingForModifiers{"B"}, {}, {0, 0, false, true}},
                  {facing("B"), 1.31, Decider::WaitingForModifiers{"B"}, {}, {0, 0, true, false}},
                  {facing("B"), 1.32, Decider::WaitingForPointer{"B"}, {}, {0, 0, false, false}},
                  {facing("B"), 1.33, Decider::WaitingForKeyboard{"B"}, {}, {0, 1.5, false, false}},
                  {facing("B"), 1.34, Decider::CoolingDown{"B"}, {}, {1.0, 1.5, false, false}},
                  {facing("B"), 1.6, Decider::CoolingDown{"B"}, "B", {1.0, 1.5, false, false}}});
}

TEST(SwitchDecider, ActiveScreenChangesDropTheCandidate) {
    Decider looking({});
    looking.didSwitch("A", 0.0);
    run(looking, {{facing("B"), 1.0, dwelling("B", 0)},
                  {facing("A", 0.5001), 1.05, Decider::OnActiveScreen{}}, // at once, even when not confident
                  {facing("B"), 1.1, dwelling("B", 0)}});
    looking.setActiveScreen("A"); // setActiveScreen() drops it only on a change
    run(looking, {{facing("B"), 1.25, dwelling("B", (1.25 - 1.1) / 0.3)}});
    looking.setActiveScreen("C");
    EXPECT_EQ(looking.status(), dwelling("B", (1.25 - 1.1) / 0.3)); // the status is left alone
    run(looking, {{facing("B"), 1.3, dwelling("B", 0)}});
}

TEST(SwitchDecider, ZeroDwellAndTimeGoingBackwards) {
    Decider::Configuration instant;
    instant.dwell = 0;
    Decider decider(instant);
    run(decider, {{facing("A"), 0.0, Decider::WaitingForKeyboard{"A"}, {}, {0.2, 9.0, false, false}},
                  {facing("C"), 0.05, Decider::WaitingForKeyboard{"C"}, {}, {0.2, 9.0, false, false}},
                  {facing("C"), 0.1, Decider::WaitingForKeyboard{"C"}, "C"}});
    Decider backwards({});
    run(backwards, {{facing("B"), 10.0, dwelling("B", 0)},
                    {facing("B"), 9.0, dwelling("B", -1.0 / 0.3)},
                    {noFace, 5.0, dwelling("B", -1.0 / 0.3)}, // a negative gap is within the tolerance
                    {facing("B"), 10.3, dwelling("B", -1.0 / 0.3), "B"}});
    backwards.didSwitch("B", 10.3);
    run(backwards, {{facing("C"), 3.0, dwelling("C", 0)},
                    {facing("C"), 3.5, Decider::CoolingDown{"C"}}, // before the last switch
                    {facing("C"), 11.0, Decider::CoolingDown{"C"}, "C"}});
}

TEST(SwitchDecider, MalformedAndNaNInputNeverLetASwitchThrough) {
    Decider decider({});
    run(decider, {{ScreenPrediction{}, 0.0, Decider::NoFace{}},
                  {ScreenPrediction{{0.1, 0.9}, {"A"}, false, 0}, 0.5, Decider::NoFace{}}, // best has no ID
                  {ScreenPrediction{{}, {"A"}, false, 0}, 0.6, Decider::NoFace{}}, // nor a probability
                  {ScreenPrediction{{NAN, 0.1}, {"A", "B"}, false, 0}, 0.7, Decider::Uncertain{}},
                  {facing("B"), 1.0, dwelling("B", 0)},
                  {facing("B"), 1.3, Decider::WaitingForPointer{"B"}, {}, {NAN, NAN, false, false}}});
    EXPECT_FALSE(decider.update(facing("B"), {}, NAN));
    EXPECT_TRUE(std::isnan(std::get<Decider::Dwelling>(decider.status()).progress));
    run(decider, {{noFace, 1.4, Decider::NoFace{}}, // NaN last-seen time: no tolerance
                  {ScreenPrediction{{1.0}, {"A"}, false, 0}, 1.5, dwelling("A", 0)}}); // a single display
}

TEST(DriftMonitor, DropBelowAStrictThresholdOverTheLastWindowOnlyOnceTheMinimumCountIsReached) {
    auto record = [](DriftMonitor& monitor, int count, bool correct) {
        while (count-- > 0)
            monitor.record(correct);
    };
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
    DriftMonitor negative(-3, 0, 0.7); // nothing is retained
    record(negative, 5, false);
    EXPECT_FALSE(negative.accuracy() || negative.accuracyDropped());
    // 21 right and 9 wrong is exactly 0.7: no drop. One more wrong pushes the oldest out.
    for (bool oldestRight : {true, false}) {
        DriftMonitor window(30, 15, 0.7);
        record(window, oldestRight ? 21 : 9, oldestRight);
        record(window, oldestRight ? 9 : 21, !oldestRight);
        EXPECT_EQ(window.accuracy(), 21.0 / 30.0);
        EXPECT_FALSE(window.accuracyDropped());
        window.record(false);
        EXPECT_EQ(window.accuracy(), oldestRight ? 20.0 / 30.0 : 21.0 / 30.0);
        EXPECT_EQ(window.accuracyDropped(), oldestRight);
    }
}
