#pragma once
// Local copies of shared files: <temp>/OSKEL/<owner>/<file>. Owner and file names come from
// peers, so each is reduced to a plain name first, the folders are created private to the
// user and opened without following symbolic links, and a copy is written under a temporary
// name and renamed into place only when it is complete.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace morvika::shares {

// The longest plain name, in bytes; room is left for the temporary suffix.
inline constexpr std::size_t kMaxPlainName = 200;

// One path component that stays where it is put: separators and control characters become
// "_", a name of dots only becomes "_", an empty name becomes "_", and the name is cut to
// kMaxPlainName bytes without splitting a UTF-8 character.
std::string PlainName(std::string_view name);

// The folder of the copies of one owner: tempFolder + "OSKEL/" + PlainName(owner) + "/".
std::string OwnerFolder(const std::string& tempFolder, std::string_view owner);

// What the copies of one owner may take in all; past it the oldest copies go first.
inline constexpr std::uint64_t kOwnerQuota = 64ull * 1024 * 1024;

// Writes `size` bytes as tempFolder/OSKEL/<plain owner>/<plain file>, replacing an earlier
// copy, then removes the owner's oldest other copies until the folder holds at most
// kOwnerQuota. Returns the owner folder (with its trailing "/") on success.
std::optional<std::string> StoreCopy(const std::string& tempFolder, std::string_view owner, std::string_view file,
                                     const std::uint8_t* bytes, std::size_t size);

}  // namespace morvika::shares
