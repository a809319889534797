#pragma once

#include <optional>
#include <string>

struct AVFormatContext;
struct AVIOContext;

namespace voxtrellis {

// A read of a file that failed (a failing disk, an SD card, a network share gone away), which is
// neither its end nor damage in it: FFmpeg's input says so by its error, whatever its reader of
// the container made of the bytes it did not get. The system's words for it ("Input/output
// error"), the input's error taken (cleared), so that a read after a seek tries again; nothing
// where no read failed. The one test of the loader and the player alike.
std::optional<std::string> takeReadError(AVIOContext* input);
// The same of the container's input, after a read of it returned `status`: nothing where it read.
std::optional<std::string> takeReadError(AVFormatContext& container, int status);

}  // namespace voxtrellis
