#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <system_error>

#include <sys/types.h>

// Removals that never follow a link, whoever swaps what while they run. Each folder is entered
// through a descriptor opened without following links (O_NOFOLLOW | O_DIRECTORY), and each entry
// is removed by its name in the folder so opened (unlinkat), at every depth: a link is removed
// itself, never what it leads to, and a folder swapped for a link (or a link for a folder) in
// the middle of a removal is never entered. Nothing outside the folder being removed goes.
//
// `owner`, when given, limits a removal to what that user owns: another user's file stays, and
// so does another user's folder with all in it, and the folders holding them (not empty).
//
// A tree of any depth goes without recursion and with a few descriptors at a time (a folder
// left on the way down is opened again on the way back, and only if it is the very folder it
// was): neither the stack nor the descriptor limit bounds the depth. A stop asked for through
// `stop` ends a removal between two entries, with what is left in place and `error`
// std::errc::operation_canceled.
//
// Any thread; nothing is shared.
namespace voxtrellis::FolderRemoval {

// Removes everything inside the folder open as `folder` (a descriptor, which stays open and
// the folder in place). Returns how many entries went; `error` is the first failure (something
// stayed), else cleared.
std::uintmax_t removeInside(int folder, std::error_code& error, std::optional<uid_t> owner = std::nullopt,
                            std::stop_token stop = {});

// Removes the entry `name` of the folder open as `parent`: a file or a link, or a folder with
// all in it. Returns how many entries went (0 when nothing was there); `error` as above.
std::uintmax_t removeAt(int parent, const std::string& name, std::error_code& error,
                        std::optional<uid_t> owner = std::nullopt, std::stop_token stop = {});

// std::filesystem::remove_all's contract (how many entries went, 0 when nothing is at `path`,
// or static_cast<std::uintmax_t>(-1) with `error` set), done as removeAt() in the folder that
// holds `path`, which is opened by its path.
std::uintmax_t removeAll(const std::filesystem::path& path, std::error_code& error);

}  // namespace voxtrellis::FolderRemoval
