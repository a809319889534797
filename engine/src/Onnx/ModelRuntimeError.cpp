#include "Onnx/ModelRuntimeError.h"

namespace voxtrellis {

namespace {
std::string describe(ModelRuntimeError::Kind kind, const std::filesystem::path& path, const std::string& detail) {
  std::string what;
  switch (kind) {
    case ModelRuntimeError::Kind::folderMissing: what = "ONNX model folder not found: "; break;
    case ModelRuntimeError::Kind::modelFileMissing: what = "ONNX model file not found: "; break;
    case ModelRuntimeError::Kind::loadFailed: what = "Failed to load ONNX model "; break;
    case ModelRuntimeError::Kind::invalidInput: what = "Invalid input for ONNX model "; break;
    case ModelRuntimeError::Kind::inferenceFailed: what = "ONNX model failed to run "; break;
    case ModelRuntimeError::Kind::interfaceMismatch: what = "Unexpected interface of ONNX model "; break;
  }
  what += path.string();
  if (!detail.empty()) {
    what += ": " + detail;
  }
  return what;
}
}  // namespace

ModelRuntimeError::ModelRuntimeError(Kind kind, std::filesystem::path path, const std::string& detail)
    : std::runtime_error(describe(kind, path, detail)), m_kind(kind), m_path(std::move(path)) {}

}  // namespace voxtrellis
