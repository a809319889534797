#include <voxtrellis/TemporaryDirectory.h>

#include <cstdlib>
#include <system_error>

namespace voxtrellis {

std::filesystem::path temporaryDirectory() {
  if (const char* named = std::getenv("TMPDIR"); named && *named) {
    const std::filesystem::path folder(named);
    std::error_code error;
    if (folder.is_absolute() && std::filesystem::is_directory(folder, error)) return folder;
  }
  return "/tmp";
}

}  // namespace voxtrellis
