#pragma once

// Where the program keeps its files: the XDG base folders of the user, and the private folders
// made inside them.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

namespace orvane {

struct Paths {
    std::filesystem::path dataHome;   // $XDG_DATA_HOME, else ~/.local/share
    std::filesystem::path configHome; // $XDG_CONFIG_HOME, else ~/.config
    std::filesystem::path stateHome;  // $XDG_STATE_HOME, else ~/.local/state

    // Reads a variable of the environment; absent when unset.
    using Environment = std::function<std::optional<std::string>(const char* name)>;

    // Relative values are ignored, as the XDG rules ask. Absent when a folder depends on the home
    // folder and neither $HOME nor the password database names an absolute one.
    static std::optional<Paths> resolve(const Environment& environment,
                                        const std::optional<std::string>& passwordHome);
    // The process's own environment and user.
    static std::optional<Paths> fromEnvironment();

    std::filesystem::path profiles() const { return dataHome / "Orvane" / "Profiles"; }
    std::filesystem::path logs() const { return stateHome / "Orvane" / "Logs"; }
    std::filesystem::path defaultsFile() const { return configHome / "Orvane" / "Orvane.conf"; }
    std::filesystem::path formerDefaultsFile() const { return configHome / "Peltrix" / "Peltrix.conf"; }
    std::filesystem::path formerProfiles() const { return dataHome / "Peltrix" / "Profiles"; }

    bool operator==(const Paths&) const = default;
};

// Creates the folder and its missing parents, each new one readable by the user alone (0700);
// folders that exist keep their permissions. Succeeds when the folder exists afterwards.
std::error_code createPrivateFolders(const std::filesystem::path& folder);

} // namespace orvane
