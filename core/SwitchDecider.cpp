#include "core/SwitchDecider.h"

#include <algorithm>
#include <type_traits>
#include <utility>

namespace orvane {

namespace {

// The best index must address both lists; anything else is a prediction without screens.
bool listsScreens(const ScreenPrediction& prediction) {
    std::size_t best = prediction.bestIndex();
    return best < prediction.screenIDs.size() && best < prediction.probabilities.size();
}

} // namespace

std::optional<std::string> SwitchDecider::update(const std::optional<ScreenPrediction>& prediction,
                                                 const InputActivity& input, double now) {
    if (!prediction || !listsScreens(*prediction)) return loseCandidate(NoFace{}, now);
    if (prediction->offScreen) return loseCandidate(OffScreen{}, now);

    std::size_t index = prediction->bestIndex();
    const std::string& best = prediction->screenIDs[index];
    double probability = prediction->probabilities[index];

    // Looking back at the active screen drops a pending candidate at once, without gap tolerance.
    if (activeScreen_ == best) {
        candidate_.reset();
        status_ = OnActiveScreen{};
        return std::nullopt;
    }
    // The comparisons below are negated so that NaN holds back instead of letting a switch through.
    if (!(probability >= configuration.switchProbability)) return loseCandidate(Uncertain{}, now);

    if (candidate_ != best) {
        candidate_ = best;
        candidateSince_ = now;
    }
    candidateLastSeen_ = now;

    double elapsed = now - candidateSince_;
    if (!(elapsed >= configuration.dwell)) {
        setDwelling(best, elapsed / std::max(configuration.dwell, 0.000001));
        return std::nullopt;
    }
    if (input.mouseButtonDown || input.modifierDown) {
        holdBack<WaitingForModifiers>(best);
        return std::nullopt;
    }
    if (!(input.secondsSincePointer >= configuration.pointerGrace)) {
        holdBack<WaitingForPointer>(best);
        return std::nullopt;
    }
    if (!(input.secondsSinceKeyboard >= configuration.typingGrace)) {
        holdBack<WaitingForKeyboard>(best);
        return std::nullopt;
    }
    if (!(now - lastSwitch_ >= configuration.cooldown)) {
        holdBack<CoolingDown>(best);
        return std::nullopt;
    }
    // The status stays as the previous update left it; didSwitch() sets it next.
    return best;
}

void SwitchDecider::didSwitch(const std::string& screenID, double time) {
    activeScreen_ = screenID;
    lastSwitch_ = time;
    candidate_.reset();
    status_ = OnActiveScreen{};
}

void SwitchDecider::setActiveScreen(std::optional<std::string> screenID) {
    if (screenID == activeScreen_) return;
    activeScreen_ = std::move(screenID);
    candidate_.reset();
}

// A candidate survives frames without a usable prediction for up to gapTolerance after it was last
// seen; those frames change nothing, not even the last-seen time.
std::optional<std::string> SwitchDecider::loseCandidate(Status lost, double now) {
    if (candidate_ && now - candidateLastSeen_ <= configuration.gapTolerance) return std::nullopt;
    candidate_.reset();
    status_ = std::move(lost);
    return std::nullopt;
}

// The status setters keep the stored target string when it is unchanged, so that a steady frame
// does not copy the screen ID.
void SwitchDecider::setDwelling(const std::string& target, double progress) {
    if (auto* dwelling = std::get_if<Dwelling>(&status_); dwelling && dwelling->target == target)
        dwelling->progress = progress;
    else
        status_ = Dwelling{target, progress};
}

template <typename Case> void SwitchDecider::holdBack(const std::string& target) {
    if (auto* current = std::get_if<Case>(&status_); current && current->target == target) return;
    status_ = Case{target};
}

std::string_view caseName(const SwitchDecider::Status& status) {
    return std::visit([](const auto& current) { return std::decay_t<decltype(current)>::name; }, status);
}

} // namespace orvane
