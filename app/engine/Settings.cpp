#include "engine/Settings.h"

#include <vector>

namespace orvane {

Settings::Subscription::Subscription(Subscription&& other) noexcept
    : observers_(std::move(other.observers_)), id_(other.id_) {
    other.observers_.reset();
}

Settings::Subscription& Settings::Subscription::operator=(Subscription&& other) noexcept {
    if (this != &other) {
        reset();
        observers_ = std::move(other.observers_);
        id_ = other.id_;
        other.observers_.reset();
    }
    return *this;
}

Settings::Subscription::~Subscription() {
    reset();
}

void Settings::Subscription::reset() {
    if (auto observers = observers_.lock()) observers->erase(id_);
    observers_.reset();
}

Settings::Settings(DefaultsStore& defaults) : defaults_(defaults) {
    defaults_.registerDefaults({
        {"paused", false},
        {"switchDelay", 0.3},
        {"turnSensitivity", 0.5},
        {"typingPause", 1.0},
        {"pointerPause", 1.5},
        {"movePointer", true},
        {"learnFromClicks", true},
        {"showHUD", false},
        {"diagnosticsEnabled", false},
        {"onboardingCompleted", false},
    });
    paused_ = defaults_.boolValue("paused");
    switchDelay_ = defaults_.doubleValue("switchDelay");
    turnSensitivity_ = defaults_.doubleValue("turnSensitivity");
    typingPause_ = defaults_.doubleValue("typingPause");
    pointerPause_ = defaults_.doubleValue("pointerPause");
    movePointer_ = defaults_.boolValue("movePointer");
    learnFromClicks_ = defaults_.boolValue("learnFromClicks");
    cameraID_ = defaults_.stringValue("cameraID");
    showHUD_ = defaults_.boolValue("showHUD");
    diagnostics_ = defaults_.boolValue("diagnosticsEnabled");
    onboardingCompleted_ = defaults_.boolValue("onboardingCompleted");
}

void Settings::notify() {
    // By id, so that observers may subscribe or unsubscribe (themselves or others) while being told;
    // each runs from a copy, as unsubscribing destroys the stored one.
    std::vector<std::uint64_t> ids;
    for (const auto& entry : *observers_)
        ids.push_back(entry.first);
    for (auto id : ids) {
        auto found = observers_->find(id);
        if (found == observers_->end()) continue;
        Observer observer = found->second;
        observer();
    }
}

template <typename T> void Settings::assign(T& field, T value, const char* key) {
    notify();
    field = value;
    defaults_.set(key, value);
}

void Settings::setPaused(bool value) {
    assign(paused_, value, "paused");
}
void Settings::setSwitchDelay(double value) {
    assign(switchDelay_, value, "switchDelay");
}
void Settings::setTurnSensitivity(double value) {
    assign(turnSensitivity_, value, "turnSensitivity");
}
void Settings::setTypingPause(double value) {
    assign(typingPause_, value, "typingPause");
}
void Settings::setPointerPause(double value) {
    assign(pointerPause_, value, "pointerPause");
}
void Settings::setMovePointer(bool value) {
    assign(movePointer_, value, "movePointer");
}
void Settings::setLearnFromClicks(bool value) {
    assign(learnFromClicks_, value, "learnFromClicks");
}
void Settings::setShowHUD(bool value) {
    assign(showHUD_, value, "showHUD");
}
void Settings::setDiagnostics(bool value) {
    assign(diagnostics_, value, "diagnosticsEnabled");
}
void Settings::setOnboardingCompleted(bool value) {
    assign(onboardingCompleted_, value, "onboardingCompleted");
}

void Settings::setCameraID(std::optional<std::string> value) {
    notify();
    cameraID_ = std::move(value);
    if (cameraID_)
        defaults_.set("cameraID", *cameraID_);
    else
        defaults_.remove("cameraID");
}

SwitchDecider::Configuration Settings::deciderConfiguration() const {
    SwitchDecider::Configuration configuration;
    configuration.dwell = switchDelay_;
    configuration.switchProbability = 0.6 + 0.35 * turnSensitivity_;
    configuration.typingGrace = typingPause_;
    configuration.pointerGrace = pointerPause_;
    configuration.cooldown = 0.6;
    configuration.gapTolerance = 0.2;
    return configuration;
}

Settings::Subscription Settings::subscribe(Observer observer) {
    const std::uint64_t id = nextObserver_++;
    observers_->emplace(id, std::move(observer));
    return Subscription(observers_, id);
}

} // namespace orvane
