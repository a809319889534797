// JSON coding of speaker records. Dates are seconds since 1970 as numbers;
// decoding takes every value as stored.
#include <voxtrellis/Speaker.h>

#include <nlohmann/json.hpp>

namespace voxtrellis {

namespace {

using nlohmann::json;

double secondsSince1970(WallTime time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

WallTime timeFromSeconds(double seconds) {
  return WallTime(std::chrono::duration_cast<WallTime::duration>(std::chrono::duration<double>(seconds)));
}

json rawToJson(const RawEmbedding& raw) {
  return json{
      {"segmentId", raw.segmentId}, {"embedding", raw.embedding}, {"timestamp", secondsSince1970(raw.timestamp)}};
}

RawEmbedding rawFromJson(const json& j) {
  RawEmbedding raw;
  raw.segmentId = j.at("segmentId").get<std::string>();
  raw.embedding = j.at("embedding").get<std::vector<float>>();
  raw.timestamp = timeFromSeconds(j.at("timestamp").get<double>());
  return raw;
}

template <class F>
auto decoding(const std::string& text, F body) {
  try {
    return body(json::parse(text));
  } catch (const json::exception& e) {
    throw SpeakerDecodingError(e.what());
  }
}

}  // namespace

std::string RawEmbedding::toJson() const {
  return rawToJson(*this).dump();
}

RawEmbedding RawEmbedding::fromJson(const std::string& text) {
  return decoding(text, [](const json& j) { return rawFromJson(j); });
}

std::string Speaker::toJson() const {
  json history = json::array();
  for (const auto& raw : rawEmbeddings) history.push_back(rawToJson(raw));
  return json{{"id", m_id},
              {"name", name},
              {"currentEmbedding", currentEmbedding},
              {"duration", duration},
              {"createdAt", secondsSince1970(createdAt)},
              {"updatedAt", secondsSince1970(updatedAt)},
              {"updateCount", updateCount},
              {"rawEmbeddings", history},
              {"isPermanent", isPermanent}}
      .dump();
}

std::shared_ptr<Speaker> Speaker::fromJson(const std::string& text) {
  return decoding(text, [](const json& j) {
    auto speaker = std::make_shared<Speaker>(j.at("id").get<std::string>(), j.at("name").get<std::string>());
    // Assigned after construction: decoding keeps the stored values unnormalised.
    speaker->currentEmbedding = j.at("currentEmbedding").get<std::vector<float>>();
    speaker->duration = j.at("duration").get<float>();
    speaker->createdAt = timeFromSeconds(j.at("createdAt").get<double>());
    speaker->updatedAt = timeFromSeconds(j.at("updatedAt").get<double>());
    speaker->updateCount = j.at("updateCount").get<int64_t>();
    speaker->rawEmbeddings.clear();
    for (const auto& raw : j.at("rawEmbeddings").get<std::vector<json>>())
      speaker->rawEmbeddings.push_back(rawFromJson(raw));
    speaker->isPermanent = j.at("isPermanent").get<bool>();
    return speaker;
  });
}

}  // namespace voxtrellis
