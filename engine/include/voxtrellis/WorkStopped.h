#pragma once

#include <stdexcept>
#include <string>

namespace voxtrellis {

// A long call (converting a file, recognising, diarizing) ended early because its caller asked
// it to stop through the std::stop_token it was given. Such a call checks the token between
// its pieces of work (a decoded frame, a chunk, a batch of windows, a clustering step), so it
// ends within one piece of a stop; it returns nothing, and what it holds is released. What()
// names the work: "Recognition was stopped".
class WorkStopped : public std::runtime_error {
 public:
  explicit WorkStopped(const std::string& work) : std::runtime_error(work + " was stopped") {}
};

}  // namespace voxtrellis
