#pragma once

#include <map>
#include <string>

namespace voxtrellis::diarization {

// Shortest decimal text that reads back as the same value; integral values
// keep a ".0" ("0.0", "1.5", "1e-05", "inf", "nan").
std::string shortest(double value);
std::string shortest(float value);
// Fixed notation with the given number of decimals ("%.3f").
std::string fixed(double value, int decimals);
// "[0: 12, 1: 7]".
std::string histogramText(const std::map<int, int>& counts);

}  // namespace voxtrellis::diarization
