#pragma once

#include <string>

namespace voxtrellis {

// A fresh random (version 4) UUID in upper-case text form.
std::string makeUuidString();

}  // namespace voxtrellis
