#include "engine/Settings.h"

#include <vector>

namespace orvane {

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
        {"flashFocus", true},
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
    flashFocus_ = defaults_.boolValue("flashFocus");
}

template <typename T> void Settings::assign(T& field, T value, const char* key) {
    observers_.notify();
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

void Settings::setFlashFocus(bool value) {
    assign(flashFocus_, value, "flashFocus");
}

void Settings::setCameraID(std::optional<std::string> value) {
    observers_.notify();
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

} // namespace orvane
