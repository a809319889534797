#include <voxtrellis/ASRConfig.h>
#include <voxtrellis/ASRResult.h>

#include "Shared/NumberText.h"

#include <nlohmann/json.hpp>

#include <limits>
#include <stdexcept>

namespace voxtrellis {

using Json = nlohmann::ordered_json;

const TdtConfig& TdtConfig::defaults() {
  static const TdtConfig value{};
  return value;
}

const ASRConfig& ASRConfig::defaults() {
  static const ASRConfig value{};
  return value;
}

float ASRResult::rtfx() const {
  const auto d = static_cast<float>(duration);
  const auto p = static_cast<float>(processingTime);
  if (p == 0.0f) {
    return std::numeric_limits<float>::infinity();
  }
  return d / p;
}

namespace {

// Reads a required key with the wanted JSON kind; a missing key or a value of
// another kind is a decoding error, so no partial value is ever produced.
const Json& required(const Json& object, const char* key) {
  if (!object.is_object()) {
    throw std::invalid_argument("expected a JSON object");
  }
  auto it = object.find(key);
  if (it == object.end()) {
    throw std::invalid_argument(std::string("missing key \"") + key + "\"");
  }
  return *it;
}

double number(const Json& object, const char* key) {
  const Json& v = required(object, key);
  if (!v.is_number()) {
    throw std::invalid_argument(std::string("key \"") + key + "\" is not a number");
  }
  return v.get<double>();
}

int64_t integer(const Json& object, const char* key) {
  const Json& v = required(object, key);
  if (!v.is_number_integer()) {
    throw std::invalid_argument(std::string("key \"") + key + "\" is not an integer");
  }
  return v.get<int64_t>();
}

std::string textValue(const Json& object, const char* key) {
  const Json& v = required(object, key);
  if (!v.is_string()) {
    throw std::invalid_argument(std::string("key \"") + key + "\" is not a string");
  }
  return v.get<std::string>();
}

Json parse(const std::string& json) {
  try {
    return Json::parse(json);
  } catch (const Json::parse_error& e) {
    throw std::invalid_argument(e.what());
  }
}

Json timingToJson(const TokenTiming& t) {
  Json j;
  j["token"] = t.token;
  j["tokenId"] = t.tokenId;
  j["startTime"] = t.startTime;
  j["endTime"] = t.endTime;
  j["confidence"] = t.confidence;
  return j;
}

TokenTiming timingFromJson(const Json& j) {
  TokenTiming t;
  t.token = textValue(j, "token");
  t.tokenId = integer(j, "tokenId");
  t.startTime = number(j, "startTime");
  t.endTime = number(j, "endTime");
  t.confidence = static_cast<float>(number(j, "confidence"));
  return t;
}

Json metricsToJson(const ASRPerformanceMetrics& m) {
  Json j;
  j["preprocessorTime"] = m.preprocessorTime;
  j["encoderTime"] = m.encoderTime;
  j["decoderTime"] = m.decoderTime;
  j["totalProcessingTime"] = m.totalProcessingTime;
  j["rtfx"] = m.rtfx;
  j["peakMemoryMB"] = m.peakMemoryMB;
  if (m.gpuUtilization) {
    j["gpuUtilization"] = *m.gpuUtilization;
  }
  return j;
}

ASRPerformanceMetrics metricsFromJson(const Json& j) {
  ASRPerformanceMetrics m;
  m.preprocessorTime = number(j, "preprocessorTime");
  m.encoderTime = number(j, "encoderTime");
  m.decoderTime = number(j, "decoderTime");
  m.totalProcessingTime = number(j, "totalProcessingTime");
  m.rtfx = static_cast<float>(number(j, "rtfx"));
  m.peakMemoryMB = static_cast<float>(number(j, "peakMemoryMB"));
  if (j.contains("gpuUtilization") && !j["gpuUtilization"].is_null()) {
    m.gpuUtilization = static_cast<float>(number(j, "gpuUtilization"));
  }
  return m;
}

}  // namespace

std::string TokenTiming::toJson() const {
  return timingToJson(*this).dump();
}

TokenTiming TokenTiming::fromJson(const std::string& json) {
  return timingFromJson(parse(json));
}

std::string ASRPerformanceMetrics::summary() const {
  std::string s = "Performance Metrics:\n";
  s += "- Preprocessor: " + formatFixed(preprocessorTime, 3) + "s\n";
  s += "- Encoder: " + formatFixed(encoderTime, 3) + "s\n";
  s += "- Decoder: " + formatFixed(decoderTime, 3) + "s\n";
  s += "- Total: " + formatFixed(totalProcessingTime, 3) + "s\n";
  s += "- RTFx: " + formatFixed(rtfx, 1) + "x real-time\n";
  s += "- Peak Memory: " + formatFixed(peakMemoryMB, 1) + " MB\n";
  s += "- GPU Utilization: " + (gpuUtilization ? formatFixed(*gpuUtilization, 1) + "%" : std::string("N/A"));
  return s;
}

std::string ASRPerformanceMetrics::toJson() const {
  return metricsToJson(*this).dump();
}

ASRPerformanceMetrics ASRPerformanceMetrics::fromJson(const std::string& json) {
  return metricsFromJson(parse(json));
}

std::string ASRResult::toJson() const {
  Json j;
  j["text"] = text;
  j["confidence"] = confidence;
  j["duration"] = duration;
  j["processingTime"] = processingTime;
  if (tokenTimings) {
    Json list = Json::array();
    for (const auto& t : *tokenTimings) {
      list.push_back(timingToJson(t));
    }
    j["tokenTimings"] = std::move(list);
  }
  if (performanceMetrics) {
    j["performanceMetrics"] = metricsToJson(*performanceMetrics);
  }
  return j.dump();
}

ASRResult ASRResult::fromJson(const std::string& json) {
  const Json j = parse(json);
  ASRResult r;
  r.text = textValue(j, "text");
  r.confidence = static_cast<float>(number(j, "confidence"));
  r.duration = number(j, "duration");
  r.processingTime = number(j, "processingTime");
  if (j.contains("tokenTimings") && !j["tokenTimings"].is_null()) {
    const Json& list = j["tokenTimings"];
    if (!list.is_array()) {
      throw std::invalid_argument("key \"tokenTimings\" is not an array");
    }
    std::vector<TokenTiming> timings;
    for (const auto& item : list) {
      timings.push_back(timingFromJson(item));
    }
    r.tokenTimings = std::move(timings);
  }
  if (j.contains("performanceMetrics") && !j["performanceMetrics"].is_null()) {
    r.performanceMetrics = metricsFromJson(j["performanceMetrics"]);
  }
  return r;
}

}  // namespace voxtrellis
