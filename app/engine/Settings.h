#pragma once

#include "core/SwitchDecider.h"
#include "engine/Observers.h"
#include "engine/Platform.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace orvane {

// The user's preferences, each persisted in the defaults store under its key. Observers hear of a
// change before the value changes, so they re-read in a task posted to the main queue.
// Main thread only.
class Settings {
  public:
    using Observer = Observers::Observer;
    using Subscription = Observers::Subscription;

    explicit Settings(DefaultsStore& defaults);
    Settings(const Settings&) = delete;
    Settings& operator=(const Settings&) = delete;

    bool paused() const { return paused_; }
    double switchDelay() const { return switchDelay_; }         // seconds
    double turnSensitivity() const { return turnSensitivity_; } // 0 to 1
    double typingPause() const { return typingPause_; }         // seconds
    double pointerPause() const { return pointerPause_; }       // seconds
    bool movePointer() const { return movePointer_; }
    bool learnFromClicks() const { return learnFromClicks_; }
    const std::optional<std::string>& cameraID() const { return cameraID_; } // absent: the default camera
    bool showHUD() const { return showHUD_; }
    bool diagnostics() const { return diagnostics_; }
    bool onboardingCompleted() const { return onboardingCompleted_; }
    bool flashFocus() const { return flashFocus_; } // outline the window that gets focus after a switch

    void setPaused(bool value);
    void setSwitchDelay(double value);
    void setTurnSensitivity(double value);
    void setTypingPause(double value);
    void setPointerPause(double value);
    void setMovePointer(bool value);
    void setLearnFromClicks(bool value);
    void setCameraID(std::optional<std::string> value);
    void setShowHUD(bool value);
    void setDiagnostics(bool value);
    void setOnboardingCompleted(bool value);
    void setFlashFocus(bool value);

    // The switch decider's timing and threshold from the four timing and sensitivity preferences.
    SwitchDecider::Configuration deciderConfiguration() const;

    // The observer runs synchronously before each assignment takes effect.
    [[nodiscard]] Subscription subscribe(Observer observer) { return observers_.subscribe(std::move(observer)); }

  private:
    template <typename T> void assign(T& field, T value, const char* key);

    DefaultsStore& defaults_;
    Observers observers_;

    bool paused_ = false;
    double switchDelay_ = 0.3;
    double turnSensitivity_ = 0.5;
    double typingPause_ = 1.0;
    double pointerPause_ = 1.5;
    bool movePointer_ = true;
    bool learnFromClicks_ = true;
    std::optional<std::string> cameraID_;
    bool showHUD_ = false;
    bool diagnostics_ = false;
    bool onboardingCompleted_ = false;
    bool flashFocus_ = true;
};

} // namespace orvane
