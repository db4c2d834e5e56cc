#pragma once
// Where the program keeps its settings, its working files and its read-only assets.

#include <string>
#include <vector>

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

// The folders that are the program's alone, outermost first: the settings folder, the working
// folder and the cache of shared-file copies (<temp>/OSKEL), or with a profile (an absolute
// path) the profile folder and its cache. Folders above them (~/.config, a profile's parent)
// belong to the user and are never listed.
std::vector<std::string> OwnFolders(const std::string& profileDir);

// They hold passwords, so they are readable by their user only. Makes the folder when missing
// (missing parents get the usual mode) and tightens it to 0700; a symbolic link, or a folder
// of another user, is left as it is. False when it cannot be had.
bool MakePrivateFolder(const std::string& folder);

// Creates the file empty when missing and tightens it to 0600 (a missing folder is made 0700
// first). Content is never touched, so every later writer keeps the mode.
void MakePrivateFile(const std::string& file);

// The logon name of the user running the program; empty when it cannot be found.
std::string LogonUserName();

}  // namespace AppPaths
