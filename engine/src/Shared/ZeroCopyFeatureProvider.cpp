#include "Shared/ZeroCopyFeatureProvider.h"

namespace voxtrellis {

namespace {

template <class Map>
std::set<std::string> keysOf(const Map& map) {
  std::set<std::string> names;
  for (const auto& entry : map) names.insert(entry.first);
  return names;
}

template <class Map>
MLMultiArrayPtr lookUp(const Map& map, const std::string& name) {
  auto it = map.find(name);
  return it == map.end() ? nullptr : it->second;
}

}  // namespace

std::set<std::string> ZeroCopyFeatureProvider::featureNames() const {
  return keysOf(m_features);
}

MLMultiArrayPtr ZeroCopyFeatureProvider::featureValue(const std::string& name) const {
  return lookUp(m_features, name);
}

std::optional<ZeroCopyFeatureProvider> ZeroCopyFeatureProvider::chain(const ZeroCopyFeatureProvider& from,
                                                                      const std::string& outputName,
                                                                      const std::string& inputName) {
  MLMultiArrayPtr value = from.featureValue(outputName);
  if (!value) return std::nullopt;
  return ZeroCopyFeatureProvider(Features{{inputName, std::move(value)}});
}

std::set<std::string> ZeroCopyDiarizerFeatureProvider::featureNames() const {
  return keysOf(m_features);
}

MLMultiArrayPtr ZeroCopyDiarizerFeatureProvider::featureValue(const std::string& name) const {
  return lookUp(m_features, name);
}

std::vector<ZeroCopyDiarizerFeatureProvider> ZeroCopyDiarizerFeatureProvider::batchProvider(
    const std::vector<MLMultiArrayPtr>& waveforms, const std::vector<MLMultiArrayPtr>& masks) {
  std::vector<ZeroCopyDiarizerFeatureProvider> providers;
  const std::size_t n = std::min(waveforms.size(), masks.size());
  providers.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    providers.emplace_back(Features{{"waveform", waveforms[i]}, {"mask", masks[i]}});
  }
  return providers;
}

}  // namespace voxtrellis
