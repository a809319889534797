#include "ViewModels/StartupFailure.h"

#include <voxtrellis/DownloadUtils.h>
#include <voxtrellis/ModelRegistry.h>
#include <voxtrellis/NetworkError.h>

#include <nlohmann/json.hpp>

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

}  // namespace

QString modelHubName() {
  const QString base = QString::fromStdString(voxtrellis::ModelRegistry::baseURL());
  const QUrl url(base);
  if (url.host().isEmpty()) return base;
  return url.port() > 0 ? QStringLiteral("%1:%2").arg(url.host()).arg(url.port()) : url.host();
}

ErrorInfo modelStartupFailure(const std::exception_ptr& failure, const QString& description) {
  QString headline;
  switch (causeOf(failure)) {
    case Cause::unreachable:
      headline = QStringLiteral("The speech models could not be downloaded from %1").arg(modelHubName());
      break;
    case Cause::missing: headline = QStringLiteral("The speech models are not on %1").arg(modelHubName()); break;
    case Cause::unloadable: headline = QStringLiteral("The speech models could not be loaded"); break;
  }
  return ErrorInfo{headline, description,
                   QStringLiteral("See \"Getting the speech models\" in the README for where the app finds its "
                                  "models and how to give it others.")};
}

}  // namespace parlowvista
