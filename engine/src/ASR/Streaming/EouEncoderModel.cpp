#include "ASR/Streaming/EouEncoderModel.h"

#include <voxtrellis/ASRError.h>

namespace voxtrellis {

namespace {
// The model's next cache when it returned one of the same type and size.
Tensor nextCache(NamedTensors& outputs, const std::string& name, const Tensor& previous) {
  auto it = outputs.find(name);
  if (it == outputs.end() || it->second.empty()) return previous;
  if (it->second.type() != previous.type() || it->second.elementCount() != previous.elementCount()) {
    throw ASRError::processingFailed("Encoder output " + name + " holds " + std::to_string(it->second.elementCount()) +
                                     " values, expected " + std::to_string(previous.elementCount()));
  }
  return Tensor::adopt(previous.type(), previous.shape(), it->second.rawData(), std::make_shared<Tensor>(it->second));
}
}  // namespace

EouEncoderModel::EouEncoderModel(std::shared_ptr<OnnxModel> model) : m_model(std::move(model)) {
  m_model->requireInterface({{"audio_signal", ElementType::float32, 3},
                             {"audio_length", ElementType::int32, 1},
                             {"pre_cache", ElementType::float32, 3},
                             {"cache_last_channel", ElementType::float32, 4},
                             {"cache_last_time", ElementType::float32, 4},
                             {"cache_last_channel_len", ElementType::int32, 1}},
                            {{"encoded_output", ElementType::float32, 3}});
}

EouEncoderModel::Caches EouEncoderModel::zeroCaches(int preCacheSize) {
  return {Tensor::zeros(ElementType::float32, {1, 128, preCacheSize}),
          Tensor::zeros(ElementType::float32, {17, 1, 70, 512}), Tensor::zeros(ElementType::float32, {17, 1, 512, 8}),
          Tensor::zeros(ElementType::int32, {1})};
}

EouEncoderModel::Output EouEncoderModel::predict(const Tensor& mel, int32_t melLength, const Caches& caches) const {
  int32_t length = melLength;
  const NamedTensors inputs{{"audio_signal", mel},
                            {"audio_length", Tensor::borrow(ElementType::int32, {1}, &length)},
                            {"pre_cache", caches.preCache},
                            {"cache_last_channel", caches.lastChannel},
                            {"cache_last_time", caches.lastTime},
                            {"cache_last_channel_len", caches.lastChannelLength}};
  NamedTensors outputs = m_model->predict(inputs);
  Output out;
  if (auto it = outputs.find("encoded_output"); it != outputs.end()) out.encoded = it->second;
  out.caches.preCache = nextCache(outputs, "new_pre_cache", caches.preCache);
  out.caches.lastChannel = nextCache(outputs, "new_cache_last_channel", caches.lastChannel);
  out.caches.lastTime = nextCache(outputs, "new_cache_last_time", caches.lastTime);
  out.caches.lastChannelLength = nextCache(outputs, "new_cache_last_channel_len", caches.lastChannelLength);
  return out;
}

}  // namespace voxtrellis
