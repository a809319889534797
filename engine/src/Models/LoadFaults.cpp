#include "Models/LoadFaults.h"

#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/ModelRegistry.h>

#include "Onnx/ModelRuntimeError.h"

namespace voxtrellis {

namespace fs = std::filesystem;

namespace {

std::string withoutFinalStop(std::string text) {
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  return text;
}

// The hub as a user would name it: its host and port, without scheme or path.
std::string hubName() {
  std::string name = ModelRegistry::baseURL();
  if (const auto scheme = name.find("://"); scheme != std::string::npos) name.erase(0, scheme + 3);
  return name.substr(0, name.find('/'));
}

}  // namespace

UnloadableInPlace::UnloadableInPlace(const fs::path& file, std::string loadFault, const std::string& downloadFault,
                                     const fs::path& repoFolder)
    : FileSystemError(Code::fileReadCorruptFile, file,
                      withoutFinalStop(std::move(loadFault)) + ". No fresh copy could be downloaded from " + hubName() +
                          " (" + downloadFault + "), so the files in " + repoFolder.string() +
                          " are kept as they are.") {}

bool isLoadFault(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const UnloadableInPlace&) {
    return false;
  } catch (const FileSystemError& e) {
    return e.code() != FileSystemError::Code::fileWriteFailed;
  } catch (const ModelRuntimeError&) {
    return true;
  } catch (...) {
    return false;
  }
}

fs::path faultyFile(const std::exception_ptr& error, const fs::path& repoFolder) {
  try {
    std::rethrow_exception(error);
  } catch (const FileSystemError& e) {
    return e.path();
  } catch (const ModelRuntimeError& e) {
    return e.path();
  } catch (...) {
    return repoFolder;
  }
}

bool isCacheFault(const std::exception_ptr& error) {
  if (isLoadFault(error)) return true;
  try {
    std::rethrow_exception(error);
  } catch (const DownloadUtils::HuggingFaceDownloadError& e) {
    return e.code() == DownloadUtils::HuggingFaceDownloadError::Code::modelNotFound;
  } catch (...) {
    return false;
  }
}

}  // namespace voxtrellis
