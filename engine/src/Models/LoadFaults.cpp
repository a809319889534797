#include "Models/LoadFaults.h"

#include <voxtrellis/ModelRegistry.h>

#include "Onnx/ModelRuntimeError.h"

#include <optional>

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

struct Fault {
  FileSystemError::Code code;
  fs::path file;
  std::string text;
};

// The file a load failure names, with how it failed; none for failures that name no file
// of the cache (a folder that could not be written, the hub, the caller).
std::optional<Fault> faultOf(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const ModelFileError&) {
    return std::nullopt;
  } catch (const FileSystemError& e) {
    if (e.code() == FileSystemError::Code::fileWriteFailed) return std::nullopt;
    return Fault{e.code(), e.path(), e.what()};
  } catch (const ModelRuntimeError& e) {
    return Fault{FileSystemError::Code::fileReadCorruptFile, e.path(), e.what()};
  } catch (...) {
    return std::nullopt;
  }
}

bool isInside(const fs::path& file, const fs::path& folder) {
  const fs::path relative = file.lexically_normal().lexically_relative(folder.lexically_normal());
  return !relative.empty() && *relative.begin() != "..";
}

}  // namespace

bool isLoadFault(const std::exception_ptr& error, const fs::path& repoFolder) {
  const auto fault = faultOf(error);
  return fault && isInside(fault->file, repoFolder);
}

ModelFileError keptInPlace(const std::exception_ptr& loadFault, const std::string& downloadFault,
                           const fs::path& repoFolder) {
  const Fault fault = faultOf(loadFault).value_or(Fault{FileSystemError::Code::fileReadCorruptFile, repoFolder, ""});
  return ModelFileError(fault.code, fault.file, repoFolder,
                        withoutFinalStop(fault.text) + ". No fresh copy could be downloaded from " + hubName() + " (" +
                            downloadFault + "), so the files in " + repoFolder.string() + " are kept as they are.");
}

}  // namespace voxtrellis
