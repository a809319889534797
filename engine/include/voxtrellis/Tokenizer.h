#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace voxtrellis {

// Token ids to text for the end-of-utterance recogniser. The vocabulary file
// is one JSON object mapping ids written in decimal to pieces; "▁" (U+2581)
// starts a word. Immutable after loading; safe to share between threads.
class Tokenizer {
 public:
  // Throws AsrModelsError: modelNotFound when the file cannot be read,
  // loadingFailed when it is not JSON or not an object of text values.
  explicit Tokenizer(const std::filesystem::path& vocabPath);

  // The pieces of the known ids in order, "▁" read as a space, without
  // leading or trailing spaces and tabs. Unknown ids are skipped.
  std::string decode(const std::vector<int>& ids) const;

  // The file's entries as read (keys as written).
  const std::map<std::string, std::string>& vocab() const { return m_vocab; }
  // Entries whose key is a decimal integer.
  const std::map<int64_t, std::string>& idToToken() const { return m_idToToken; }

 private:
  std::map<std::string, std::string> m_vocab;
  std::map<int64_t, std::string> m_idToToken;
};

}  // namespace voxtrellis
