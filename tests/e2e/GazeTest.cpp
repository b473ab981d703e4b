#include "simulated-user/Gaze.h"

#include "simulated-user/GazeDirector.h"

#include <gtest/gtest.h>

using namespace orvane::simulated;

namespace {

std::string describeScript(const std::string& text) {
    std::string error, result;
    const auto steps = parseScript(text, error);
    if (!steps) return "error";
    for (const ScriptStep& step : *steps)
        result += step.gaze.describe() + ":" + std::to_string(int(step.seconds * 10)) + " ";
    return result;
}

std::string describeCommand(const std::string& line) {
    std::string error;
    const auto command = parseCommand(line, error);
    if (!command) return "error";
    switch (command->kind) {
    case Command::Kind::look:
        return "look " + command->gaze.describe();
    case Command::Kind::script:
        return "script " + std::to_string(command->steps.size()) + (command->once ? " once" : " loop");
    case Command::Kind::calibration:
        return command->followCalibration ? "calibration auto" : "calibration off";
    case Command::Kind::quit:
        return "quit";
    }
    return "?";
}

} // namespace

TEST(GazeTest, ScriptsAndCommandsRead) {
    using Cases = std::vector<std::pair<std::string, std::string>>;
    for (const auto& [text, expected] : Cases{
             {"LEFT:3,RIGHT:3,keyboard:2,away:2", "LEFT:30 RIGHT:30 keyboard:20 away:20 "},
             {"HDMI-1:0.5", "HDMI-1:5 "},
             {"LEFT", "error"},
             {"LEFT:0", "error"},
             {"LEFT:-1", "error"},
             {"LEFT:3,", "error"},
             {":3", "error"},
             {"LEFT:3s", "error"},
             {"LE FT:3", "error"},
         })
        EXPECT_EQ(describeScript(text), expected) << text;

    for (const auto& [line, expected] : Cases{
             {"look LEFT", "look LEFT"},
             {"  look   RIGHT  ", "look RIGHT"},
             {"look LEFT 0.08 0.9", "look LEFT@0.080,0.900"},
             {"look keyboard", "look keyboard"},
             {"look away", "look away"},
             {"pose 12.5 -4", "look pose@12.5,-4.0"},
             {"script LEFT:3,RIGHT:3", "script 2 loop"},
             {"script LEFT:3 once", "script 1 once"},
             {"calibration off", "calibration off"},
             {"calibration auto", "calibration auto"},
             {"quit", "quit"},
             {"look", "error"},
             {"look LEFT 1.5 0.5", "error"},
             {"look away 0.5 0.5", "error"},
             {"look LEFT 0.5", "error"},
             {"pose 10", "error"},
             {"pose ten 5", "error"},
             {"script LEFT:3 twice", "error"},
             {"calibration maybe", "error"},
             {"quit now", "error"},
             {"", "error"},
         })
        EXPECT_EQ(describeCommand(line), expected) << line;
}

TEST(GazeTest, ScriptsPlayAgainstTheClock) {
    std::string error;
    const auto steps = *parseScript("LEFT:3,RIGHT:1,away:2", error);
    const GazeScript looping(steps, false, 100), once(steps, true, 100);
    struct Case {
        double time;
        std::string looping, once;
        bool ended;
    };
    for (const Case& c : {Case{99, "LEFT", "LEFT", false}, Case{100, "LEFT", "LEFT", false},
                          Case{102.9, "LEFT", "LEFT", false}, Case{103, "RIGHT", "RIGHT", false},
                          Case{105.5, "away", "away", false}, Case{106, "LEFT", "away", true},
                          Case{110.5, "away", "away", true}}) {
        bool ended = false;
        EXPECT_EQ(looping.gazeAt(c.time).describe(), c.looping) << c.time;
        EXPECT_EQ(once.gazeAt(c.time, &ended).describe(), c.once) << c.time;
        EXPECT_EQ(ended, c.ended) << c.time;
    }
}

// A calibration on the screen comes first while it is followed: the dot (as a spot on its monitor), or
// the monitor with the instructions; when it ends or is no longer followed, the user goes back to the
// script or the last command; a command stops the script.
TEST(GazeTest, CalibrationsComeFirstThenCommandsReplaceTheScript) {
    const Desk desk({{"LEFT", {0, 0, 1920, 1080}, {508, 286}}, {"RIGHT", {1920, 0, 1920, 1080}, {508, 286}}});
    std::string error;
    GazeDirector director(desk, parseCommand("look LEFT", error)->gaze);
    director.play(*parseScript("RIGHT:2,keyboard:2", error), false, 10);
    auto at = [&](double time) {
        const auto choice = director.at(time);
        return choice.gaze.describe() + " " + choice.cause;
    };

    EXPECT_EQ(at(11), "RIGHT script");
    director.see({true, cv::Point2d(1920 + 153.6, 972), std::nullopt});
    EXPECT_EQ(at(11), "RIGHT@0.080,0.900 calibration");
    director.see({true, std::nullopt, "LEFT"});
    EXPECT_EQ(at(11), "LEFT calibration");
    director.followCalibration(false);
    EXPECT_FALSE(director.calibrating());
    EXPECT_EQ(at(13), "keyboard script");
    director.followCalibration(true);
    EXPECT_EQ(at(13), "LEFT calibration");
    director.see({});
    EXPECT_EQ(at(13), "keyboard script");

    director.look(parseCommand("look LEFT 0.2 0.3", error)->gaze);
    EXPECT_EQ(at(14), "LEFT@0.200,0.300 command");
    director.see({});
    EXPECT_FALSE(director.calibrating());
    EXPECT_EQ(at(15), "LEFT@0.200,0.300 command");
}
