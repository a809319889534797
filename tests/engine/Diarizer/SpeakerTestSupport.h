#pragma once

#include <voxtrellis/Speaker.h>

#include <cmath>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace speakertest {

// The unit vector along axis `k` of a 256-value embedding.
inline std::vector<float> axis(std::size_t k, std::size_t size = 256) {
  std::vector<float> v(size, 0.0f);
  v[k] = 1.0f;
  return v;
}

// A unit vector at cosine distance `distance` (0...1) from axis `from`,
// leaning towards axis `towards`.
inline std::vector<float> atDistance(std::size_t from, std::size_t towards, double distance) {
  std::vector<float> v(256, 0.0f);
  const double c = 1.0 - distance;
  v[from] = static_cast<float>(c);
  v[towards] = static_cast<float>(std::sqrt(1.0 - c * c));
  return v;
}

inline std::vector<float> scaled(std::vector<float> v, float factor) {
  for (auto& x : v) x *= factor;
  return v;
}

inline voxtrellis::SpeakerPtr speaker(const std::string& id, std::size_t direction, bool permanent = false) {
  auto s = std::make_shared<voxtrellis::Speaker>(id, "Name " + id, axis(direction), 2.0f);
  s->isPermanent = permanent;
  return s;
}

}  // namespace speakertest
