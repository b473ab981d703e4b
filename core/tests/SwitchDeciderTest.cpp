#include "core/SwitchDecider.h"

#include <cmath>
#include <gtest/gtest.h>
#include <optional>
#include <string>

using namespace orvane;

namespace {

using Decider = SwitchDecider;
using Status = SwitchDecider::Status;

// A prediction whose best screen is `screen` with probability p (p > 0.5), out of two.
ScreenPrediction facing(const std::string& screen, double p = 0.9) {
    return ScreenPrediction{{p, 1 - p}, {screen, screen == "Z" ? "Y" : "Z"}, false, 1.0};
}

ScreenPrediction lookingAway() {
    return ScreenPrediction{{0.9, 0.1}, {"A", "B"}, true, 5.0};
}

const std::optional<ScreenPrediction> noFace;
const InputActivity idle = InputActivity::idle;

Decider::Configuration defaults() {
    return {};
}

// A decider whose candidate B has completed its dwell at t = 1.3 (first seen at 1.0).
Decider dwelledOnB(const Decider::Configuration& configuration = defaults()) {
    Decider decider(configuration);
    decider.update(facing("B"), idle, 1.0);
    return decider;
}

} // namespace

TEST(SwitchDecider, InitialStateAndDefaults) {
    Decider::Configuration configuration;
    EXPECT_EQ(configuration, (Decider::Configuration{0.3, 0.75, 1.0, 1.5, 0.6, 0.2}));
    EXPECT_NE(configuration, (Decider::Configuration{0.3, 0.775, 1.0, 1.5, 0.6, 0.2}));
    Decider decider(configuration);
    EXPECT_EQ(decider.status(), Status{Decider::NoFace{}});
    EXPECT_FALSE(decider.activeScreen());
    EXPECT_EQ(decider.configuration, configuration);
}

TEST(SwitchDecider, DwellThenSwitchAndReturnTheSameScreenUntilDidSwitch) {
    Decider decider(defaults());
    EXPECT_FALSE(decider.update(facing("A"), idle, 0.0));
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"A", 0.0}));
    EXPECT_FALSE(decider.update(facing("A"), idle, 0.15));
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"A", 0.5}));
    EXPECT_EQ(decider.update(facing("A"), idle, 0.3), "A"); // exactly elapsed, never switched before
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"A", 0.5})) << "left for didSwitch to set";
    EXPECT_EQ(decider.update(facing("A"), idle, 0.31), "A");
    EXPECT_EQ(decider.update(facing("A"), idle, 5.0), "A");

    decider.didSwitch("A", 0.3);
    EXPECT_EQ(decider.activeScreen(), "A");
    EXPECT_EQ(decider.status(), Status(Decider::OnActiveScreen{}));
    EXPECT_FALSE(decider.update(facing("A"), idle, 0.4));
    EXPECT_EQ(decider.status(), Status(Decider::OnActiveScreen{}));
}

TEST(SwitchDecider, CooldownHoldsTheNextSwitch) {
    Decider decider(defaults());
    decider.didSwitch("A", 0.3);
    EXPECT_FALSE(decider.update(facing("B"), idle, 0.5));
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0}));
    EXPECT_FALSE(decider.update(facing("B"), idle, 0.8));
    EXPECT_EQ(decider.status(), Status(Decider::CoolingDown{"B"}));
    EXPECT_EQ(decider.update(facing("B"), idle, 0.9), "B");
}

TEST(SwitchDecider, NewBestScreenRestartsTheDwell) {
    Decider decider(defaults());
    decider.update(facing("A"), idle, 0.0);
    decider.update(facing("B"), idle, 0.2);
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0}));
    EXPECT_FALSE(decider.update(facing("B"), idle, 0.4));
    EXPECT_EQ(decider.update(facing("B"), idle, 0.5), "B");
}

TEST(SwitchDecider, ShortGapsKeepTheCandidateLongOnesDropIt) {
    Decider decider(defaults());
    decider.update(facing("B"), idle, 1.0);
    EXPECT_FALSE(decider.update(noFace, idle, 1.1));
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0})) << "untouched";
    EXPECT_FALSE(decider.update(facing("B", 0.6), idle, 1.15)); // uncertain frame, also tolerated
    EXPECT_FALSE(decider.update(noFace, idle, 1.25));           // 0.25 s after B was last seen
    EXPECT_EQ(decider.status(), Status(Decider::NoFace{}));
    EXPECT_FALSE(decider.update(facing("B"), idle, 1.3));
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0})) << "the dwell starts over";

    Decider survivor(defaults());
    survivor.update(facing("B"), idle, 0.0);
    survivor.update(noFace, idle, 0.1);
    survivor.update(facing("B"), idle, 0.2);
    EXPECT_EQ(survivor.status(), Status(Decider::Dwelling{"B", 0.2 / 0.3})) << "the dwell went on";
    EXPECT_EQ(survivor.update(noFace, idle, 0.3), std::nullopt) << "no switch during a gap";
}

TEST(SwitchDecider, GapExactlyAtTheToleranceIsTolerated) {
    auto configuration = defaults();
    configuration.gapTolerance = 0.25;
    Decider decider(configuration);
    decider.update(facing("B"), idle, 1.0);
    decider.update(lookingAway(), idle, 1.25);
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0}));
    decider.update(lookingAway(), idle, 1.375);
    EXPECT_EQ(decider.status(), Status(Decider::OffScreen{}));
}

TEST(SwitchDecider, OffScreenWithAStaleOrNoCandidateIsReportedAtOnce) {
    Decider decider(defaults());
    decider.update(facing("B"), idle, 1.0);
    decider.update(lookingAway(), idle, 1.3);
    EXPECT_EQ(decider.status(), Status(Decider::OffScreen{}));
    EXPECT_FALSE(decider.update(facing("B"), idle, 1.35));
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0}));

    Decider fresh(defaults());
    fresh.update(lookingAway(), idle, 0.0);
    EXPECT_EQ(fresh.status(), Status(Decider::OffScreen{}));
}

TEST(SwitchDecider, ProbabilityAtTheThresholdCounts) {
    Decider exact(defaults());
    exact.update(facing("A", 0.75), idle, 0.0);
    EXPECT_EQ(exact.status(), Status(Decider::Dwelling{"A", 0.0}));

    Decider below(defaults());
    below.update(facing("A", 0.7499), idle, 0.0);
    EXPECT_EQ(below.status(), Status(Decider::Uncertain{}));
}

TEST(SwitchDecider, LookingBackAtTheActiveScreenDropsTheCandidateAtOnce) {
    Decider decider(defaults());
    decider.didSwitch("A", 0.0);
    decider.update(facing("B"), idle, 1.0);
    decider.update(facing("A", 0.5001), idle, 1.05); // even when not confident
    EXPECT_EQ(decider.status(), Status(Decider::OnActiveScreen{}));
    decider.update(facing("B"), idle, 1.1);
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0}));
}

TEST(SwitchDecider, HoldBacksInPriorityOrder) {
    Decider decider(defaults());
    decider.didSwitch("A", 1.0); // so that the cooldown holds too
    decider.update(facing("B"), idle, 1.0);
    InputActivity busy{0.0, 0.0, false, true};
    EXPECT_FALSE(decider.update(facing("B"), busy, 1.3));
    EXPECT_EQ(decider.status(), Status(Decider::WaitingForModifiers{"B"}));
    busy = {0.0, 0.0, true, false};
    EXPECT_FALSE(decider.update(facing("B"), busy, 1.31));
    EXPECT_EQ(decider.status(), Status(Decider::WaitingForModifiers{"B"}));
    busy.mouseButtonDown = false;
    EXPECT_FALSE(decider.update(facing("B"), busy, 1.32));
    EXPECT_EQ(decider.status(), Status(Decider::WaitingForPointer{"B"}));
    busy.secondsSincePointer = 1.5; // exactly elapsed
    EXPECT_FALSE(decider.update(facing("B"), busy, 1.33));
    EXPECT_EQ(decider.status(), Status(Decider::WaitingForKeyboard{"B"}));
    busy.secondsSinceKeyboard = 1.0;
    EXPECT_FALSE(decider.update(facing("B"), busy, 1.34));
    EXPECT_EQ(decider.status(), Status(Decider::CoolingDown{"B"}));
    EXPECT_EQ(decider.update(facing("B"), busy, 1.6), "B");
}

TEST(SwitchDecider, IdleInputNeverHoldsBack) {
    EXPECT_EQ(InputActivity::idle, InputActivity{});
    EXPECT_TRUE(std::isinf(InputActivity::idle.secondsSinceKeyboard));
    EXPECT_TRUE(std::isinf(InputActivity::idle.secondsSincePointer));
    auto configuration = defaults();
    configuration.typingGrace = 1e300;
    configuration.pointerGrace = 1e300;
    Decider decider = dwelledOnB(configuration);
    EXPECT_EQ(decider.update(facing("B"), idle, 1.3), "B");
}

TEST(SwitchDecider, SetActiveScreenDropsTheCandidateOnlyOnAChange) {
    Decider decider(defaults());
    decider.setActiveScreen("A");
    decider.update(facing("B"), idle, 0.0);
    decider.setActiveScreen("A");
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0}));
    decider.update(facing("B"), idle, 0.15);
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.5})) << "candidate kept";

    decider.setActiveScreen("C");
    EXPECT_EQ(decider.activeScreen(), "C");
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.5})) << "status untouched";
    decider.update(facing("B"), idle, 0.2);
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0})) << "candidate dropped";

    decider.setActiveScreen(std::nullopt);
    EXPECT_FALSE(decider.activeScreen());
    decider.update(facing("B"), idle, 0.3);
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", 0.0}));
    decider.setActiveScreen(std::nullopt);
    decider.update(facing("B"), idle, 0.4);
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", (0.4 - 0.3) / 0.3})) << "candidate kept";
}

TEST(SwitchDecider, ZeroDwellSwitchesOnTheFirstFreeFrame) {
    auto configuration = defaults();
    configuration.dwell = 0;
    Decider decider(configuration);
    EXPECT_FALSE(decider.update(facing("A"), {0.2, 9.0, false, false}, 0.0));
    EXPECT_EQ(decider.status(), Status(Decider::WaitingForKeyboard{"A"}));
    EXPECT_EQ(decider.update(facing("A"), idle, 0.1), "A");

    Decider fresh(configuration);
    EXPECT_EQ(fresh.update(facing("A"), idle, 0.0), "A");
    EXPECT_EQ(fresh.status(), Status(Decider::NoFace{}));
}

TEST(SwitchDecider, TimeGoingBackwardsDelaysButDoesNotBreak) {
    Decider decider(defaults());
    decider.update(facing("B"), idle, 10.0);
    EXPECT_FALSE(decider.update(facing("B"), idle, 9.0));
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"B", -1.0 / 0.3}));
    EXPECT_FALSE(decider.update(noFace, idle, 5.0)); // a negative gap is within the tolerance
    EXPECT_EQ(decider.update(facing("B"), idle, 10.3), "B");
    decider.didSwitch("B", 10.3);
    decider.update(facing("C"), idle, 3.0);
    EXPECT_FALSE(decider.update(facing("C"), idle, 3.5)); // before the last switch: cooled down
    EXPECT_EQ(decider.status(), Status(Decider::CoolingDown{"C"}));
    EXPECT_EQ(decider.update(facing("C"), idle, 11.0), "C");
}

TEST(SwitchDecider, PredictionsWithoutScreensCountAsNoFace) {
    Decider decider(defaults());
    decider.update(ScreenPrediction{}, idle, 0.0);
    EXPECT_EQ(decider.status(), Status(Decider::NoFace{}));
    ScreenPrediction unlabelled{{0.1, 0.9}, {"A"}, false, 0}; // best index 1 has no ID
    EXPECT_FALSE(decider.update(unlabelled, idle, 1.0));
    EXPECT_EQ(decider.status(), Status(Decider::NoFace{}));
    ScreenPrediction single{{1.0}, {"A"}, false, 0};
    decider.update(single, idle, 2.0);
    EXPECT_EQ(decider.status(), Status(Decider::Dwelling{"A", 0.0}));
}

TEST(SwitchDecider, NaNNeverLetsASwitchThrough) {
    Decider decider(defaults());
    decider.update(ScreenPrediction{{NAN, 0.1}, {"A", "B"}, false, 0}, idle, 0.0);
    EXPECT_EQ(decider.status(), Status(Decider::Uncertain{}));

    Decider held = dwelledOnB();
    EXPECT_FALSE(held.update(facing("B"), {NAN, NAN, false, false}, 1.3));
    EXPECT_EQ(held.status(), Status(Decider::WaitingForPointer{"B"}));
    EXPECT_FALSE(held.update(facing("B"), idle, NAN));
    EXPECT_EQ(caseName(held.status()), "dwelling");
    EXPECT_TRUE(std::isnan(std::get<Decider::Dwelling>(held.status()).progress));
    EXPECT_FALSE(held.update(noFace, idle, 1.4)); // NaN last-seen time: no tolerance
    EXPECT_EQ(held.status(), Status(Decider::NoFace{}));
}

TEST(SwitchDecider, StatusEqualityAndCaseNames) {
    EXPECT_NE(Status(Decider::Dwelling{"A", 0.5}), Status(Decider::Dwelling{"A", 0.5000001}));
    EXPECT_NE(Status(Decider::Dwelling{"A", 0.5}), Status(Decider::Dwelling{"B", 0.5}));
    EXPECT_NE(Status(Decider::WaitingForKeyboard{"A"}), Status(Decider::WaitingForPointer{"A"}));
    EXPECT_EQ(Status(Decider::CoolingDown{"A"}), Status(Decider::CoolingDown{std::string("A")}));

    EXPECT_EQ(caseName(Decider::Dwelling{"A", 0}), "dwelling");
    EXPECT_EQ(caseName(Decider::WaitingForKeyboard{"A"}), "waitingForKeyboard");
    EXPECT_EQ(caseName(Decider::WaitingForPointer{"A"}), "waitingForPointer");
    EXPECT_EQ(caseName(Decider::WaitingForModifiers{"A"}), "waitingForModifiers");
    EXPECT_EQ(caseName(Decider::CoolingDown{"A"}), "coolingDown");
    EXPECT_EQ(caseName(Decider::NoFace{}), "noFace");
    EXPECT_EQ(caseName(Decider::OffScreen{}), "offScreen");
    EXPECT_EQ(caseName(Decider::Uncertain{}), "uncertain");
    EXPECT_EQ(caseName(Decider::OnActiveScreen{}), "onActiveScreen");
    EXPECT_EQ(Status{}.index(), 0u); // Dwelling comes first
}
