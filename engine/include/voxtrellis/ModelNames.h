#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace voxtrellis {

// The model repositories the engine fetches from the model hub.
class Repo {
 public:
  enum Value { vad, parakeet, parakeetV2, parakeetEou160, parakeetEou320, diarizer, kokoro };

  constexpr Repo(Value value) : m_value(value) {}  // NOLINT: a case converts implicitly, like an enum

  // The repository for an exact (case-sensitive) raw value, else none.
  static std::optional<Repo> fromRawValue(std::string_view rawValue);
  // The seven cases in declaration order.
  static const std::array<Repo, 7>& allCases();

  constexpr Value value() const { return m_value; }
  // Owner/repository, with "/<variant>" for the end-of-utterance cases.
  std::string rawValue() const;
  // The raw value without the owner.
  std::string name() const;
  // Folder inside the local models folder (two levels for the end-of-utterance cases).
  std::string folderName() const;
  // Owner/repository as placed into hub addresses.
  std::string remotePath() const;
  // The variant's sub-folder in the remote repository ("160ms", "320ms"), else none.
  std::optional<std::string> subPath() const;

  friend constexpr bool operator==(Repo a, Repo b) { return a.m_value == b.m_value; }

 private:
  Value m_value;
};

// File names of the compiled models and side files of every model family.
namespace ModelNames {

namespace ASR {
inline const std::string preprocessor = "Preprocessor";
inline const std::string encoder = "Encoder";
inline const std::string decoder = "Decoder";
inline const std::string joint = "JointDecision";
inline const std::string preprocessorFile = "Preprocessor.mlmodelc";
inline const std::string encoderFile = "Encoder.mlmodelc";
inline const std::string decoderFile = "Decoder.mlmodelc";
inline const std::string jointFile = "JointDecision.mlmodelc";
inline const std::string vocabularyFile = "parakeet_vocab.json";
// The same vocabulary file name for every repository.
std::string vocabulary(Repo repo);
const std::set<std::string>& requiredModels();
}  // namespace ASR

namespace Diarizer {
inline const std::string segmentation = "pyannote_segmentation";
inline const std::string embedding = "wespeaker_v2";
inline const std::string segmentationFile = "pyannote_segmentation.mlmodelc";
inline const std::string embeddingFile = "wespeaker_v2.mlmodelc";
const std::set<std::string>& requiredModels();
}  // namespace Diarizer

namespace OfflineDiarizer {
inline const std::string segmentation = "Segmentation";
inline const std::string fbank = "FBank";
inline const std::string embedding = "Embedding";
inline const std::string pldaRho = "PldaRho";
inline const std::string segmentationFile = "Segmentation.mlmodelc";
inline const std::string fbankFile = "FBank.mlmodelc";
inline const std::string embeddingFile = "Embedding.mlmodelc";
inline const std::string pldaRhoFile = "PldaRho.mlmodelc";
inline const std::string segmentationPath = "Segmentation.mlmodelc";
inline const std::string fbankPath = "FBank.mlmodelc";
inline const std::string embeddingPath = "Embedding.mlmodelc";
inline const std::string pldaRhoPath = "PldaRho.mlmodelc";
const std::set<std::string>& requiredModels();
}  // namespace OfflineDiarizer

namespace VAD {
inline const std::string sileroVad = "silero-vad-unified-256ms-v6.0.0";
inline const std::string sileroVadFile = "silero-vad-unified-256ms-v6.0.0.mlmodelc";
const std::set<std::string>& requiredModels();
}  // namespace VAD

namespace ParakeetEOU {
inline const std::string preprocessor = "parakeet_eou_preprocessor";
inline const std::string encoder = "streaming_encoder";
inline const std::string decoder = "decoder";
inline const std::string joint = "joint_decision";
inline const std::string preprocessorFile = "parakeet_eou_preprocessor.mlmodelc";
inline const std::string encoderFile = "streaming_encoder.mlmodelc";
inline const std::string decoderFile = "decoder.mlmodelc";
inline const std::string jointFile = "joint_decision.mlmodelc";
inline const std::string vocab = "vocab.json";
inline const std::string tokenizer = "tokenizer.model";
const std::set<std::string>& requiredModels();
}  // namespace ParakeetEOU

namespace TTS {
enum class Variant { fiveSecond, fifteenSecond };
inline constexpr std::array<Variant, 2> allVariants = {Variant::fiveSecond, Variant::fifteenSecond};
int maxDurationSeconds(Variant variant);
std::string fileName(Variant variant);
std::string bundle(Variant variant);
inline constexpr Variant defaultVariant = Variant::fifteenSecond;
inline const std::string defaultBundle = "kokoro_21_15s.mlmodelc";
const std::set<std::string>& requiredModels();
}  // namespace TTS

// The names that must exist in a repository's cache folder. For `diarizer`,
// exactly "offline" (case-sensitive) selects the offline set.
const std::set<std::string>& getRequiredModelNames(Repo repo, const std::optional<std::string>& variant = std::nullopt);

}  // namespace ModelNames

}  // namespace voxtrellis

template <>
struct std::hash<voxtrellis::Repo> {
  std::size_t operator()(voxtrellis::Repo repo) const noexcept { return std::hash<std::string>()(repo.rawValue()); }
};
