#include "engine/Diagnostics.h"

#include "engine/Paths.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ctime>
#include <fcntl.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace orvane {

struct Diagnostics::Descriptor {
    int fd;
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { ::close(fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
};

namespace {

// Keeps the three entries beginning with "trace-" whose full paths sort last; the date in the name
// makes that the three newest days.
void prune(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> traces;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error))
        if (it->path().filename().string().starts_with("trace-")) traces.push_back(it->path());
    std::sort(traces.begin(), traces.end(),
              [](const auto& a, const auto& b) { return a.string() > b.string(); });
    for (std::size_t i = 3; i < traces.size(); ++i) {
        std::error_code ignored;
        std::filesystem::remove(traces[i], ignored);
    }
}

std::string localDate(WallTime time) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::strftime(text, sizeof text, "%Y-%m-%d", &local);
    return text;
}

// JSON has no NaN or infinity; nlohmann would write them as null.
bool allFinite(const nlohmann::json& value) {
    if (value.is_number_float()) return std::isfinite(value.get<double>());
    if (value.is_structured())
        return std::all_of(value.begin(), value.end(),
                           [](const nlohmann::json& item) { return allFinite(item); });
    return true;
}

void writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        bytes.remove_prefix(std::size_t(written));
    }
}

std::string number(double value) {
    return nlohmann::json(value).dump();
}

} // namespace

std::shared_ptr<Diagnostics> Diagnostics::open(const std::filesystem::path& folder, const Clock& clock) {
    // A folder that cannot be made shows up as a file that cannot be opened.
    createPrivateFolders(folder);
    prune(folder);
    auto file = folder / ("trace-" + localDate(clock.now()) + ".jsonl");
    int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    return std::shared_ptr<Diagnostics>(new Diagnostics(file, std::make_shared<Descriptor>(fd), clock));
}

Diagnostics::Diagnostics(std::filesystem::path file, std::shared_ptr<Descriptor> descriptor,
                         const Clock& clock)
    : file_(std::move(file)), descriptor_(std::move(descriptor)), clock_(clock), start_(clock.now()) {}

Diagnostics::~Diagnostics() = default;

void Diagnostics::event(const std::string& name, Fields fields) {
    if (!fields.is_object()) fields = Fields::object();
    fields["k"] = name;
    write(std::move(fields));
}

void Diagnostics::frame(const std::optional<HeadPose>& pose,
                        const std::optional<ScreenPrediction>& prediction,
                        const SwitchDecider::Status& status, const InputActivity& input) {
    Fields fields = Fields::object();
    fields["face"] = pose.has_value();
    if (pose) {
        fields["yaw"] = degrees(pose->yaw);
        fields["pitch"] = degrees(pose->pitch);
        fields["roll"] = degrees(pose->roll);
        fields["fx"] = pose->faceX;
        fields["fy"] = pose->faceY;
        fields["fs"] = pose->faceSize;
    }
    if (prediction) {
        fields["p"] = prediction->probabilities;
        fields["off"] = prediction->offScreen;
        fields["dist"] = prediction->envelopeDistance;
    }
    // "Never" is +infinity, which JSON cannot hold.
    fields["kbd"] = std::min(input.secondsSinceKeyboard, 999.0);
    fields["ptr"] = std::min(input.secondsSincePointer, 999.0);
    fields["status"] = statusText(status);
    event("frame", std::move(fields));
}

void Diagnostics::write(Fields fields) {
    const double elapsed = std::chrono::duration<double>(clock_.now() - start_).count();
    fields["t"] = std::round(elapsed * 1000) / 1000;
    queue_.post([descriptor = descriptor_, fields = std::move(fields)] {
        if (!allFinite(fields)) return;
        std::string line;
        try {
            line = fields.dump();
        } catch (const nlohmann::json::exception&) {
            return; // text that is not UTF-8
        }
        line += '\n';
        writeAll(descriptor->fd, line);
    });
}

void Diagnostics::flush() {
    queue_.sync();
}

std::string Diagnostics::statusText(const SwitchDecider::Status& status) {
    return std::visit(
        [](const auto& state) {
            std::string text(state.name);
            if constexpr (requires { state.progress; })
                text += "(target: \"" + state.target + "\", progress: " + number(state.progress) + ")";
            else if constexpr (requires { state.target; })
                text += "(target: \"" + state.target + "\")";
            return text;
        },
        status);
}

} // namespace orvane
