#pragma once

#include "core/ScreenPrediction.h"

#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace orvane {

// The user's recent keyboard and pointer activity, as the input monitor reports it each frame.
struct InputActivity {
    double secondsSinceKeyboard = std::numeric_limits<double>::infinity();
    double secondsSincePointer = std::numeric_limits<double>::infinity();
    bool mouseButtonDown = false;
    bool modifierDown = false;

    // No recent input of any kind (also what a default-constructed value holds).
    static const InputActivity idle;

    bool operator==(const InputActivity&) const = default;
};

inline constexpr InputActivity InputActivity::idle{};

// Turns per-frame screen predictions into few, settled focus switches: a screen must stay the
// confident best guess for the dwell time, and the switch is held back while the user types,
// moves the pointer, holds a button or modifier, or shortly after the previous switch.
class SwitchDecider {
  public:
    struct Configuration {
        double dwell = 0.3;              // seconds a new screen must stay the confident best guess
        double switchProbability = 0.75; // least best-screen probability that counts (inclusive)
        double typingGrace = 1.0;        // seconds after the last keyboard event
        double pointerGrace = 1.5;       // seconds after the last pointer event
        double cooldown = 0.6;           // least seconds between two switches
        double gapTolerance = 0.2;       // seconds a candidate survives frames without a usable prediction

        bool operator==(const Configuration&) const = default;
    };

    // What the decider is doing; each case knows its own name.
    struct Dwelling {
        static constexpr std::string_view name = "dwelling";
        std::string target;
        // Elapsed share of the dwell time. No member initializer: it would keep Status from being
        // default-constructible inside this class; a value-initialized Status still has 0 here.
        double progress;
        bool operator==(const Dwelling&) const = default;
    };
    struct WaitingForKeyboard {
        static constexpr std::string_view name = "waitingForKeyboard";
        std::string target;
        bool operator==(const WaitingForKeyboard&) const = default;
    };
    struct WaitingForPointer {
        static constexpr std::string_view name = "waitingForPointer";
        std::string target;
        bool operator==(const WaitingForPointer&) const = default;
    };
    struct WaitingForModifiers {
        static constexpr std::string_view name = "waitingForModifiers";
        std::string target;
        bool operator==(const WaitingForModifiers&) const = default;
    };
    struct CoolingDown {
        static constexpr std::string_view name = "coolingDown";
        std::string target;
        bool operator==(const CoolingDown&) const = default;
    };
    struct NoFace {
        static constexpr std::string_view name = "noFace";
        bool operator==(const NoFace&) const = default;
    };
    struct OffScreen {
        static constexpr std::string_view name = "offScreen";
        bool operator==(const OffScreen&) const = default;
    };
    struct Uncertain {
        static constexpr std::string_view name = "uncertain";
        bool operator==(const Uncertain&) const = default;
    };
    struct OnActiveScreen {
        static constexpr std::string_view name = "onActiveScreen";
        bool operator==(const OnActiveScreen&) const = default;
    };
    using Status = std::variant<Dwelling, WaitingForKeyboard, WaitingForPointer, WaitingForModifiers,
                                CoolingDown, NoFace, OffScreen, Uncertain, OnActiveScreen>;

    Configuration configuration;

    explicit SwitchDecider(const Configuration& configuration) : configuration(configuration) {}

    // Called once per analysed frame; `prediction` is absent for a frame without a face. Returns the
    // screen to switch to, again on every call until didSwitch() records the switch. A prediction
    // that lists no screens counts as absent. NaN probabilities, durations or times never let a
    // switch through: every threshold is written so that NaN holds back.
    std::optional<std::string> update(const std::optional<ScreenPrediction>& prediction,
                                      const InputActivity& input, double now);

    // Records a performed switch.
    void didSwitch(const std::string& screenID, double time);

    // Focus reached another screen by other means; drops a pending candidate unless nothing changed.
    void setActiveScreen(std::optional<std::string> screenID);

    const std::optional<std::string>& activeScreen() const { return activeScreen_; }
    const Status& status() const { return status_; }

  private:
    std::optional<std::string> loseCandidate(Status lost, double now);
    void setDwelling(const std::string& target, double progress);
    template <typename Case> void holdBack(const std::string& target);

    std::optional<std::string> activeScreen_;
    Status status_ = NoFace{};
    std::optional<std::string> candidate_;
    double candidateSince_ = 0;    // when the candidate first became the confident best guess
    double candidateLastSeen_ = 0; // the last update at which it was
    double lastSwitch_ =
        -std::numeric_limits<double>::infinity(); // never, so the first switch is not cooled down
};

// "dwelling", "waitingForKeyboard", ... "onActiveScreen".
std::string_view caseName(const SwitchDecider::Status& status);

} // namespace orvane
