#pragma once

#include "core/SwitchDecider.h"
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
    using Observer = std::function<void()>;

    // Unsubscribes when destroyed; may outlive the settings.
    class Subscription {
      public:
        Subscription() = default;
        Subscription(Subscription&& other) noexcept;
        Subscription& operator=(Subscription&& other) noexcept;
        ~Subscription();

      private:
        friend class Settings;
        using Observers = std::map<std::uint64_t, Observer>;
        Subscription(std::weak_ptr<Observers> observers, std::uint64_t id)
            : observers_(std::move(observers)), id_(id) {}
        void reset();

        std::weak_ptr<Observers> observers_;
        std::uint64_t id_ = 0;
    };

    // Registers the defaults of every key but "cameraID", then reads each key once.
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

    // The switch decider's timing and threshold from the four timing and sensitivity preferences.
    SwitchDecider::Configuration deciderConfiguration() const;

    // The observer runs synchronously before each assignment takes effect.
    [[nodiscard]] Subscription subscribe(Observer observer);

  private:
    template <typename T> void assign(T& field, T value, const char* key);
    void notify();

    DefaultsStore& defaults_;
    std::shared_ptr<Subscription::Observers> observers_ = std::make_shared<Subscription::Observers>();
    std::uint64_t nextObserver_ = 1;

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
};

} // namespace orvane
