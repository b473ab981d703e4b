#pragma once

#include "core/HeadPose.h"
#include "core/ScreenPrediction.h"
#include "core/SwitchDecider.h"
#include "engine/Clock.h"
#include "engine/SerialQueue.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace orvane {

// An optional JSON Lines trace of the tracker's numbers ("trace-yyyy-MM-dd.jsonl"), one object per
// line with sorted keys. Writers on any thread hand records to the log's own background queue.
class Diagnostics : public std::enable_shared_from_this<Diagnostics> {
public:
    using Fields = nlohmann::json; // a JSON object; std::map keys, so output keys come out sorted

    // Prunes old day files to the newest three, then opens today's file for appending;
    // absent when the file cannot be opened.
    static std::shared_ptr<Diagnostics> open(const std::filesystem::path& folder, const Clock& clock);
    ~Diagnostics();

    // A record of kind `name`; "k" and "t" in `fields` are overwritten.
    void event(const std::string& name, Fields fields);
    void frame(const std::optional<HeadPose>& pose, const std::optional<ScreenPrediction>& prediction,
               const SwitchDecider::Status& status, const InputActivity& input);

    // Blocks until every record handed over so far is written (tests and the exit path).
    void flush();
    const std::filesystem::path& file() const { return file_; }

    // The status's text form: `dwelling(target: "A", progress: 0.5)`, `noFace`.
    static std::string statusText(const SwitchDecider::Status& status);

private:
    Diagnostics(std::filesystem::path file, int fd, const Clock& clock);

    std::filesystem::path file_;
    int fd_ = -1;
    const Clock& clock_;
    WallTime start_;
    SerialQueue queue_{"orvane.diagnostics", QueuePriority::background};
};

} // namespace orvane
