#pragma once
// Where the program keeps its settings, its working files and its read-only assets.

#include <string>

namespace AppPaths {

// $XDG_CONFIG_HOME/OSKEL/Morvika.conf (~/.config/OSKEL/Morvika.conf).
std::string DefaultSettingsFile();

// DIR/Morvika.conf for a profile folder given on the command line.
std::string ProfileSettingsFile(const std::string& profileDir);

// $XDG_DATA_HOME/OSKEL/Morvika/ with a trailing "/"; not created here.
std::string DefaultWorkingFolder();

// The per-user temporary folder with a trailing "/": $XDG_CACHE_HOME (~/.cache), which no
// other user can write; not created here.
std::string DefaultTempFolder();

// The installed assets folder with a trailing "/": $MORVIKA_ASSETS_DIR when set, otherwise the
// first "share/morvika/" found beside the executable or above it (an installed prefix, or the
// build tree, which copies the assets to <build>/share/morvika/). Empty when none is found.
std::string AssetsFolder();

// The same lookup starting from an explicit executable folder (for tests).
std::string AssetsFolderFrom(const std::string& executableDir);

// The logon name of the user running the program; empty when it cannot be found.
std::string LogonUserName();

}  // namespace AppPaths
