#include <voxtrellis/ModelNames.h>

namespace voxtrellis {

namespace {

struct RepoRow {
  const char* rawValue;
  const char* name;
  const char* folderName;
  const char* remotePath;
  const char* subPath;  // null when absent
};

const RepoRow& row(Repo::Value value) {
  static const RepoRow rows[] = {
      {"Quillbrookline/silero-vad-onnx", "silero-vad-onnx", "silero-vad-onnx", "Quillbrookline/silero-vad-onnx",
       nullptr},
      {"Quillbrookline/parakeet-tdt-0.6b-v3-onnx", "parakeet-tdt-0.6b-v3-onnx", "parakeet-tdt-0.6b-v3-onnx",
       "Quillbrookline/parakeet-tdt-0.6b-v3-onnx", nullptr},
      {"Quillbrookline/parakeet-tdt-0.6b-v2-onnx", "parakeet-tdt-0.6b-v2-onnx", "parakeet-tdt-0.6b-v2-onnx",
       "Quillbrookline/parakeet-tdt-0.6b-v2-onnx", nullptr},
      {"Quillbrookline/parakeet-realtime-eou-120m-onnx/160ms", "parakeet-realtime-eou-120m-onnx/160ms",
       "parakeet-eou-streaming/160ms", "Quillbrookline/parakeet-realtime-eou-120m-onnx", "160ms"},
      {"Quillbrookline/parakeet-realtime-eou-120m-onnx/320ms", "parakeet-realtime-eou-120m-onnx/320ms",
       "parakeet-eou-streaming/320ms", "Quillbrookline/parakeet-realtime-eou-120m-onnx", "320ms"},
      {"Quillbrookline/speaker-diarization-onnx", "speaker-diarization-onnx", "speaker-diarization-onnx",
       "Quillbrookline/speaker-diarization-onnx", nullptr},
      {"Quillbrookline/kokoro-82m-onnx", "kokoro-82m-onnx", "kokoro", "Quillbrookline/kokoro-82m-onnx", nullptr},
  };
  return rows[static_cast<int>(value)];
}

}  // namespace

std::optional<Repo> Repo::fromRawValue(std::string_view rawValue) {
  for (Repo repo : allCases()) {
    if (rawValue == row(repo.value()).rawValue) return repo;
  }
  return std::nullopt;
}

const std::array<Repo, 7>& Repo::allCases() {
  static const std::array<Repo, 7> cases = {vad,      parakeet, parakeetV2, parakeetEou160, parakeetEou320,
                                            diarizer, kokoro};
  return cases;
}

std::string Repo::rawValue() const {
  return row(m_value).rawValue;
}
std::string Repo::name() const {
  return row(m_value).name;
}
std::string Repo::folderName() const {
  return row(m_value).folderName;
}
std::string Repo::remotePath() const {
  return row(m_value).remotePath;
}
std::optional<std::string> Repo::subPath() const {
  const char* sub = row(m_value).subPath;
  return sub ? std::optional<std::string>(sub) : std::nullopt;
}

namespace ModelNames {

std::string ASR::vocabulary(Repo) {
  return vocabularyFile;
}

const std::set<std::string>& ASR::requiredModels() {
  static const std::set<std::string> names = {preprocessorFile, encoderFile, decoderFile, jointFile};
  return names;
}

const std::set<std::string>& Diarizer::requiredModels() {
  static const std::set<std::string> names = {segmentationFile, embeddingFile};
  return names;
}

const std::set<std::string>& OfflineDiarizer::requiredModels() {
  static const std::set<std::string> names = {segmentationFile, fbankFile, embeddingFile, pldaRhoFile};
  return names;
}

const std::set<std::string>& VAD::requiredModels() {
  static const std::set<std::string> names = {sileroVadFile};
  return names;
}

const std::set<std::string>& ParakeetEOU::requiredModels() {
  static const std::set<std::string> names = {preprocessorFile, encoderFile, decoderFile, jointFile, vocab, tokenizer};
  return names;
}

int TTS::maxDurationSeconds(Variant variant) {
  return variant == Variant::fiveSecond ? 5 : 15;
}

std::string TTS::fileName(Variant variant) {
  return variant == Variant::fiveSecond ? "kokoro_21_5s.mlmodelc" : "kokoro_21_15s.mlmodelc";
}

std::string TTS::bundle(Variant variant) {
  return fileName(variant);
}

const std::set<std::string>& TTS::requiredModels() {
  static const std::set<std::string> names = {fileName(Variant::fiveSecond), fileName(Variant::fifteenSecond)};
  return names;
}

const std::set<std::string>& getRequiredModelNames(Repo repo, const std::optional<std::string>& variant) {
  switch (repo.value()) {
    case Repo::vad: return VAD::requiredModels();
    case Repo::parakeet:
    case Repo::parakeetV2: return ASR::requiredModels();
    case Repo::parakeetEou160:
    case Repo::parakeetEou320: return ParakeetEOU::requiredModels();
    case Repo::diarizer:
      return variant && *variant == "offline" ? OfflineDiarizer::requiredModels() : Diarizer::requiredModels();
    case Repo::kokoro: return TTS::requiredModels();
  }
  return ASR::requiredModels();
}

}  // namespace ModelNames

}  // namespace voxtrellis
