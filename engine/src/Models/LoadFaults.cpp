#include "Models/LoadFaults.h"

#include <voxtrellis/ModelRegistry.h>

#include "Models/RepositoryFiles.h"
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

ModelFileError keptInPlace(const std::exception_ptr& loadFault, NoFreshCopy why, const std::string& copyFault,
                           const fs::path& repoFolder) {
  Fault fault = faultOf(loadFault).value_or(Fault{FileSystemError::Code::fileReadCorruptFile, repoFolder, ""});
  // A model folder without its model file, say, fails to load as a damaged folder; to the user
  // the file is missing.
  if (!RepositoryFiles::somethingAt(fault.file)) fault.code = FileSystemError::Code::fileNoSuchFile;
  const std::string copy = why == NoFreshCopy::notDownloaded
                               ? "No fresh copy could be downloaded from " + hubName()
                               : "The copy downloaded from " + hubName() + " does not load either";
  return ModelFileError(fault.code, fault.file, repoFolder,
                        withoutFinalStop(fault.text) + ". " + copy + " (" + copyFault + "), so the files in " +
                            repoFolder.string() + " are kept as they are.");
}

}  // namespace voxtrellis
