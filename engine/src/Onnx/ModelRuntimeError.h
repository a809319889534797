#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

namespace voxtrellis {

// Failure of the model runtime. Every message names the model file involved.
class ModelRuntimeError : public std::runtime_error {
 public:
  enum class Kind {
    folderMissing,      // the compiled-model folder does not exist or is not a folder
    modelFileMissing,   // the folder holds no model.onnx
    loadFailed,         // the runtime could not read or initialise the model (corrupt file, bad graph)
    invalidInput,       // an input is missing, unknown, or of the wrong element type or shape
    inferenceFailed,    // the runtime failed while running the model
    interfaceMismatch,  // the model lacks an expected input or output, or declares another type or rank
  };

  ModelRuntimeError(Kind kind, std::filesystem::path path, const std::string& detail);

  Kind kind() const { return m_kind; }
  const std::filesystem::path& path() const { return m_path; }

 private:
  Kind m_kind;
  std::filesystem::path m_path;
};

}  // namespace voxtrellis
