#include <voxtrellis/AsrModels.h>
#include <voxtrellis/Tokenizer.h>

#include <nlohmann/json.hpp>

#include <charconv>
#include <fstream>
#include <sstream>

namespace voxtrellis {

namespace {

// An optional sign, then digits only, within the 64-bit range.
std::optional<int64_t> decimalId(const std::string& key) {
  std::string_view digits = key;
  bool negative = false;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    negative = digits.front() == '-';
    digits.remove_prefix(1);
  }
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  const std::string text = (negative ? "-" : "") + std::string(digits);
  int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

Tokenizer::Tokenizer(const std::filesystem::path& vocabPath) {
  std::ifstream in(vocabPath, std::ios::binary);
  if (!in) throw AsrModelsError::modelNotFound(vocabPath.filename().string(), vocabPath.parent_path());
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json document;
  try {
    document = nlohmann::json::parse(text.str());
  } catch (const nlohmann::json::exception& e) {
    throw AsrModelsError::loadingFailed("Vocabulary " + vocabPath.string() + " is not JSON: " + e.what());
  }
  if (!document.is_object()) {
    throw AsrModelsError::loadingFailed("Vocabulary " + vocabPath.string() + " is not a JSON object");
  }
  for (const auto& [key, value] : document.items()) {
    if (!value.is_string()) {
      throw AsrModelsError::loadingFailed("Vocabulary " + vocabPath.string() + " has a piece that is not text: " + key);
    }
    m_vocab[key] = value.get<std::string>();
  }
  for (const auto& [key, piece] : m_vocab) {
    if (auto id = decimalId(key)) m_idToToken[*id] = piece;
  }
}

std::string Tokenizer::decode(const std::vector<int>& ids) const {
  static const std::string marker = "\u2581";
  std::string joined;
  for (int id : ids) {
    if (auto it = m_idToToken.find(id); it != m_idToToken.end()) joined += it->second;
  }
  std::string text;
  text.reserve(joined.size());
  for (std::size_t i = 0; i < joined.size();) {
    if (joined.compare(i, marker.size(), marker) == 0) {
      text += ' ';
      i += marker.size();
    } else {
      text += joined[i++];
    }
  }
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace voxtrellis
