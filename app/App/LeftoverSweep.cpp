#include "App/LeftoverSweep.h"

#include "Services/AudioEnhancer.h"
#include "Services/YouTubeDownloader.h"

#include <utility>

namespace parlowvista {

namespace {

// See setBeforeSweepForTesting().
const std::function<void(std::stop_token)>* s_beforeSweep = nullptr;

}  // namespace

void LeftoverSweep::setBeforeSweepForTesting(const std::function<void(std::stop_token)>* hook) {
  s_beforeSweep = hook;
}

LeftoverSweep::LeftoverSweep(QString folder)
    : m_thread([this, folder = std::move(folder), beforeSweep = s_beforeSweep](std::stop_token stop) {
        if (beforeSweep) (*beforeSweep)(stop);
        AudioEnhancer::removeLeftovers(folder, stop);
        YouTubeDownloader::removeLeftovers(folder, stop);
        m_finished = true;
      }) {}

LeftoverSweep::~LeftoverSweep() = default;

}  // namespace parlowvista
