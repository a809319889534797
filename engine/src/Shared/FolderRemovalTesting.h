#pragma once

#include <cstddef>
#include <functional>

namespace voxtrellis::detail {

// Test seam: while set (a function the caller keeps alive), removals on the calling thread, and
// on no other, call it each time they have gone down into a folder, with how deep it lies below
// the folder being emptied (1: a folder in it). What it does to the tree meanwhile is what a
// process beside the removal could do between two of its steps. nullptr: none.
void setFolderRemovalDescentHookForTesting(const std::function<void(std::size_t depth)>* hook);

}  // namespace voxtrellis::detail
