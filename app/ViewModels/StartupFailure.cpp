#include "ViewModels/StartupFailure.h"

#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/ModelFileError.h>
#include <voxtrellis/ModelRegistry.h>
#include <voxtrellis/NetworkError.h>

#include <nlohmann/json.hpp>

#include <QStringList>
#include <QUrl>

namespace parlowvista {

namespace {

enum class Cause { unreachable, missing, unloadable };

using HubError = voxtrellis::DownloadUtils::HuggingFaceDownloadError;

Cause causeOf(const std::exception_ptr& failure) {
  if (!failure) return Cause::unloadable;
  try {
    std::rethrow_exception(failure);
  } catch (const HubError& error) {
    // The hub answered, but has no such repository or file (a public hub answers 401 for a
    // repository it does not know).
    const long status = error.httpStatus();
    if (error.code() == HubError::Code::modelNotFound || status == 401 || status == 403 || status == 404) {
      return Cause::missing;
    }
    return Cause::unreachable;
  } catch (const voxtrellis::NetworkError&) {
    return Cause::unreachable;
  } catch (const nlohmann::json::exception&) {
    // A listing that is no listing: a sign-in page, a proxy's error page.
    return Cause::unreachable;
  } catch (...) {
  }
  return Cause::unloadable;
}

// A file of the user's model folder that is missing or does not load, in plain words; none for
// other failures.
std::optional<QString> modelFileLine(const std::exception_ptr& failure) {
  if (!failure) return std::nullopt;
  try {
    std::rethrow_exception(failure);
  } catch (const voxtrellis::ModelFileError& error) {
    const QString file = QString::fromStdString(error.relativePath().generic_string());
    const QString folder = QString::fromStdString(error.repositoryFolder().string());
    const QString what = error.code() == voxtrellis::FileSystemError::Code::fileNoSuchFile
                             ? QStringLiteral("%1 is missing from the folder %2.")
                             : QStringLiteral("%1 in the folder %2 is damaged or incomplete.");
    return what.arg(file, folder);
  } catch (...) {
  }
  return std::nullopt;
}

}  // namespace

QString modelHubName() {
  const QString base = QString::fromStdString(voxtrellis::ModelRegistry::baseURL());
  const QUrl url(base);
  if (url.host().isEmpty()) return base;
  return url.port() > 0 ? QStringLiteral("%1:%2").arg(url.host()).arg(url.port()) : url.host();
}

ErrorInfo modelStartupFailure(const QList<ModelFailure>& failures) {
  const QString readme = QStringLiteral(
      "See \"Getting the speech models\" in the README for where the app finds its models and how to give it "
      "others.");
  QString headline;
  switch (causeOf(failures.isEmpty() ? nullptr : failures.first().exception)) {
    case Cause::unreachable:
      headline = QStringLiteral("The speech models could not be downloaded from %1").arg(modelHubName());
      break;
    case Cause::missing: headline = QStringLiteral("The speech models are not on %1").arg(modelHubName()); break;
    case Cause::unloadable: headline = QStringLiteral("The speech models could not be loaded"); break;
  }
  QStringList files;
  QStringList details;
  for (const ModelFailure& failure : failures) {
    if (const auto line = modelFileLine(failure.exception)) files << *line;
    if (!details.contains(failure.description)) details << failure.description;
  }
  QString step = readme;
  if (!files.isEmpty()) {
    step = files.join(' ') +
           (files.size() == 1 ? QStringLiteral(" Put a good copy of it there")
                              : QStringLiteral(" Put a good copy of each there")) +
           QStringLiteral(
               " and press \"Try Again\". See \"Getting the speech models\" in the README for where the app finds "
               "its models.");
  }
  return ErrorInfo{headline, details.join('\n'), step};
}

}  // namespace parlowvista
