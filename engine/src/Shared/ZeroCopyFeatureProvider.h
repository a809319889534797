#pragma once

#include <voxtrellis/MLMultiArray.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace voxtrellis {

// A fixed set of named arrays handed to a model without copying; values are
// shared, never duplicated. Immutable after creation.
class ZeroCopyFeatureProvider {
 public:
  using Features = std::map<std::string, MLMultiArrayPtr>;

  explicit ZeroCopyFeatureProvider(Features features) : m_features(std::move(features)) {}

  std::set<std::string> featureNames() const;
  // The array under the name, or null.
  MLMultiArrayPtr featureValue(const std::string& name) const;
  const Features& features() const { return m_features; }

  // A provider whose only feature is `from`'s output `outputName` under `inputName`;
  // none when `from` has no such output.
  static std::optional<ZeroCopyFeatureProvider> chain(const ZeroCopyFeatureProvider& from,
                                                      const std::string& outputName, const std::string& inputName);

 private:
  Features m_features;
};

// The diarizers' provider: the same, with a chain that carries further features
// and a batch of waveform/mask pairs.
class ZeroCopyDiarizerFeatureProvider {
 public:
  using Features = std::map<std::string, MLMultiArrayPtr>;

  explicit ZeroCopyDiarizerFeatureProvider(Features features) : m_features(std::move(features)) {}

  std::set<std::string> featureNames() const;
  MLMultiArrayPtr featureValue(const std::string& name) const;
  const Features& features() const { return m_features; }

  // The further features plus `from`'s output under `inputName` (replacing a
  // further feature of that name); none when `from` lacks the output.
  template <class Provider>
  static std::optional<ZeroCopyDiarizerFeatureProvider> chain(const Provider& from, const std::string& outputName,
                                                              const std::string& inputName,
                                                              Features additionalFeatures = {}) {
    MLMultiArrayPtr value = from.featureValue(outputName);
    if (!value) return std::nullopt;
    additionalFeatures[inputName] = std::move(value);
    return ZeroCopyDiarizerFeatureProvider(std::move(additionalFeatures));
  }

  // One provider per pair ("waveform", "mask"), stopping at the shorter list.
  static std::vector<ZeroCopyDiarizerFeatureProvider> batchProvider(const std::vector<MLMultiArrayPtr>& waveforms,
                                                                    const std::vector<MLMultiArrayPtr>& masks);

 private:
  Features m_features;
};

}  // namespace voxtrellis
