#pragma once

#include <filesystem>

namespace voxtrellis {

// The folder for temporary files: $TMPDIR when it names an existing folder by an absolute
// path, else /tmp (as the C library's own temporary files go). A $TMPDIR that names nothing, a
// file or a relative path would otherwise put temporary files in the working folder, or
// nowhere. Never empty. Read from the environment on every call; any thread (as long as no
// thread changes the environment meanwhile).
std::filesystem::path temporaryDirectory();

}  // namespace voxtrellis
