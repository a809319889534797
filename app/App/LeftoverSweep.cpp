#include "App/LeftoverSweep.h"

#include "Services/AudioEnhancer.h"
#include "Services/YouTubeDownloader.h"

#include <utility>

namespace parlowvista {

LeftoverSweep::LeftoverSweep(QString folder)
    : m_thread([this, folder = std::move(folder)](std::stop_token stop) {
        AudioEnhancer::removeLeftovers(folder, stop);
        YouTubeDownloader::removeLeftovers(folder, stop);
        m_finished = true;
      }) {}

LeftoverSweep::~LeftoverSweep() = default;

}  // namespace parlowvista
