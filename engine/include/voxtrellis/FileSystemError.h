#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace voxtrellis {

// A file-system failure with the path involved. what() is the description
// ("Model file not found: Encoder.mlmodelc", or the system's explanation).
class FileSystemError : public std::runtime_error {
 public:
  enum class Code {
    fileNoSuchFile,       // nothing exists at the path
    fileReadCorruptFile,  // something exists but is not what was expected
    fileWriteFailed,      // a folder or file could not be created, moved or written
  };

  FileSystemError(Code code, std::filesystem::path path, const std::string& description)
      : std::runtime_error(description), m_code(code), m_path(std::move(path)) {}

  Code code() const { return m_code; }
  const std::filesystem::path& path() const { return m_path; }

 private:
  Code m_code;
  std::filesystem::path m_path;
};

}  // namespace voxtrellis
