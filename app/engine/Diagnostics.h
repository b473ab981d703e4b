#pragma once

#include "core/HeadPose.h"
#include "core/ScreenPrediction.h"
#include "core/SwitchDecider.h"
#include "engine/Clock.h"
#include "engine/SerialQueue.h"

#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

namespace orvane {

// An optional JSON Lines trace of the tracker's numbers ("trace-yyyy-MM-dd.jsonl"), one object per
// line with sorted keys. Writers on any thread hand records to the log's own background queue.
class Diagnostics {
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
    // The open file, shared by the queued writes: it closes after the last of them, even when the
    // log object is gone by then, and no write ever holds the log object itself.
    struct Descriptor;

    Diagnostics(std::filesystem::path file, std::shared_ptr<Descriptor> descriptor, const Clock& clock);
    void write(Fields fields);

    std::filesystem::path file_;
    std::shared_ptr<Descriptor> descriptor_;
    const Clock& clock_;
    WallTime start_;
    // Last, so that it is destroyed first: records handed over before then are still written.
    SerialQueue queue_{"orvane.diagnostics", QueuePriority::background};
};

} // namespace orvane
