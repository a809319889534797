#pragma once

#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace audiofuzz {

// The ways a file gets damaged on its way to the user: stretches of random bytes written over it,
// single bits flipped, the file cut short, a stretch of it written twice or left out, and bytes of
// its header (its first 256 bytes) changed.
enum class Damage { randomBytes, bitFlips, cut, duplicated, deleted, headerBytes };

const std::vector<Damage>& everyDamage();
std::string_view nameOf(Damage damage);

// `bytes` damaged as `damage` says, every choice (where, how much, which bytes) taken from
// `random`: the same generator state gives the same variant.
std::string damaged(const std::string& bytes, Damage damage, std::mt19937& random);

}  // namespace audiofuzz
