#pragma once

#include <voxtrellis/FileSystemError.h>

#include <filesystem>
#include <string>

namespace voxtrellis {

// A file of a model repository folder that is missing or does not load, when no
// whole fresh copy of the repository could be had: the files in the folder are
// kept as they are. what() names the file and why it does not serve, then why
// no copy could be downloaded. code() is fileNoSuchFile for a missing file and
// fileReadCorruptFile for one that is there but does not load (damaged, cut
// short, of another kind); path() is the file.
class ModelFileError : public FileSystemError {
 public:
  ModelFileError(Code code, const std::filesystem::path& file, std::filesystem::path repositoryFolder,
                 const std::string& description)
      : FileSystemError(code, file, description), m_repositoryFolder(std::move(repositoryFolder)) {}

  // The repository folder holding the file.
  const std::filesystem::path& repositoryFolder() const { return m_repositoryFolder; }
  // The file as the folder holds it ("PldaRho.mlmodelc/model.onnx").
  std::filesystem::path relativePath() const { return path().lexically_relative(m_repositoryFolder); }

 private:
  std::filesystem::path m_repositoryFolder;
};

}  // namespace voxtrellis
