#include "DamagedVariants.h"

#include <algorithm>

namespace audiofuzz {

namespace {

constexpr std::size_t kHeaderBytes = 256;

std::size_t between(std::mt19937& random, std::size_t least, std::size_t most) {
  return std::uniform_int_distribution<std::size_t>(least, std::max(least, most))(random);
}

char anyByte(std::mt19937& random) {
  return char(std::uniform_int_distribution<int>(0, 255)(random));
}

// A stretch of 1 byte to a tenth of the file.
std::size_t stretchOf(const std::string& bytes, std::mt19937& random) {
  return between(random, 1, std::max<std::size_t>(bytes.size() / 10, 1));
}

}  // namespace

const std::vector<Damage>& everyDamage() {
  static const std::vector<Damage> all{Damage::randomBytes, Damage::bitFlips, Damage::cut,
                                       Damage::duplicated,  Damage::deleted,  Damage::headerBytes};
  return all;
}

std::string_view nameOf(Damage damage) {
  switch (damage) {
    case Damage::randomBytes: return "random bytes";
    case Damage::bitFlips: return "bit flips";
    case Damage::cut: return "cut";
    case Damage::duplicated: return "duplicated stretch";
    case Damage::deleted: return "deleted stretch";
    case Damage::headerBytes: return "header bytes";
  }
  return "?";
}

std::string damaged(const std::string& bytes, Damage damage, std::mt19937& random) {
  std::string out = bytes;
  if (out.empty()) return out;
  const std::size_t last = out.size() - 1;
  switch (damage) {
    case Damage::randomBytes:
      for (std::size_t stretches = between(random, 1, 3); stretches > 0; --stretches) {
        const std::size_t at = between(random, 0, last), length = std::min(stretchOf(out, random), out.size() - at);
        for (std::size_t i = at; i < at + length; ++i) out[i] = anyByte(random);
      }
      break;
    case Damage::bitFlips:
      for (std::size_t flips = between(random, 1, 16); flips > 0; --flips) {
        out[between(random, 0, last)] ^= char(1 << between(random, 0, 7));
      }
      break;
    case Damage::cut: out.resize(between(random, out.size() / 10, last)); break;
    case Damage::duplicated: {
      const std::size_t at = between(random, 0, last), length = std::min(stretchOf(out, random), out.size() - at);
      out.insert(between(random, 0, out.size()), bytes.substr(at, length));
      break;
    }
    case Damage::deleted: {
      const std::size_t at = between(random, 0, last);
      out.erase(at, std::min(stretchOf(out, random), out.size() - at));
      break;
    }
    case Damage::headerBytes:
      for (std::size_t changes = between(random, 1, 4); changes > 0; --changes) {
        out[between(random, 0, std::min(kHeaderBytes, out.size()) - 1)] = anyByte(random);
      }
      break;
  }
  return out;
}

}  // namespace audiofuzz
