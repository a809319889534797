#include "ASR/TDT/TdtDecoderV3.h"

#include "ASR/TDT/EncoderFrameView.h"
#include "Onnx/OnnxModel.h"

#include <voxtrellis/ASRError.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace voxtrellis {

namespace {

constexpr int64_t kDecoderWidth = TdtDecoderState::hiddenSize;

bool isStatic(const std::vector<int64_t>& shape) {
  return std::all_of(shape.begin(), shape.end(), [](int64_t d) { return d >= 0; });
}

// Runs the prediction network one token at a time. The model reads the LSTM
// state from the working arrays and writes the new state into scratch outputs
// (the runtime must not alias an input with an output), which are then copied
// back into the working arrays. Every buffer is made once per chunk.
class DecoderRunner {
 public:
  DecoderRunner(const OnnxModel& model, std::vector<float>& hidden, std::vector<float>& cell)
      : m_model(model), m_hidden(hidden), m_cell(cell) {
    const TensorInfo* targets = model.input("targets");
    const ElementType targetType = targets ? targets->type : ElementType::int32;
    m_targetIsInt64 = targetType == ElementType::int64;
    const TensorInfo* lengthInfo = model.input("target_length");
    const ElementType lengthType = lengthInfo ? lengthInfo->type : ElementType::int32;
    m_inputs["targets"] = Tensor::zeros(m_targetIsInt64 ? ElementType::int64 : ElementType::int32, {1, 1});
    Tensor length = Tensor::zeros(lengthType == ElementType::int64 ? ElementType::int64 : ElementType::int32, {1});
    if (length.type() == ElementType::int64) {
      length.data<int64_t>()[0] = 1;
    } else {
      length.data<int32_t>()[0] = 1;
    }
    m_inputs["target_length"] = length;
    const std::vector<int64_t> stateShape = {TdtDecoderState::layerCount, 1, TdtDecoderState::hiddenSize};
    m_inputs["h_in"] = Tensor::borrow(ElementType::float32, stateShape, m_hidden.data());
    m_inputs["c_in"] = Tensor::borrow(ElementType::float32, stateShape, m_cell.data());

    // Preallocated outputs when the model declares fixed shapes; otherwise
    // the runtime allocates them per step.
    const TensorInfo* proj = model.output("decoder");
    const TensorInfo* hOut = model.output("h_out");
    const TensorInfo* cOut = model.output("c_out");
    m_prebound = proj && hOut && cOut && isStatic(proj->shape) && isStatic(hOut->shape) && isStatic(cOut->shape) &&
                 proj->type == ElementType::float32 && hOut->type == ElementType::float32 &&
                 cOut->type == ElementType::float32;
    if (m_prebound) {
      m_outputs["decoder"] = Tensor::zeros(proj->type, proj->shape);
      m_outputs["h_out"] = Tensor::zeros(hOut->type, hOut->shape);
      m_outputs["c_out"] = Tensor::zeros(cOut->type, cOut->shape);
    }
  }

  // Runs one step on `token`; returns the projection ("decoder" output) and
  // updates the working state arrays from "h_out" and "c_out".
  const Tensor& step(int token) {
    if (m_targetIsInt64) {
      m_inputs["targets"].data<int64_t>()[0] = token;
    } else {
      m_inputs["targets"].data<int32_t>()[0] = token;
    }
    if (m_prebound) {
      m_model.predictInto(m_inputs, m_outputs);
    } else {
      m_outputs = m_model.predict(m_inputs);
    }
    auto proj = m_outputs.find("decoder");
    if (proj == m_outputs.end() || proj->second.empty()) {
      throw ASRError::processingFailed("Invalid decoder output");
    }
    copyState("h_out", m_hidden);
    copyState("c_out", m_cell);
    return proj->second;
  }

 private:
  // A missing state output leaves the field as it was.
  void copyState(const char* name, std::vector<float>& destination) {
    auto it = m_outputs.find(name);
    if (it == m_outputs.end() || it->second.empty()) {
      return;
    }
    const Tensor& t = it->second;
    if (t.elementCount() != destination.size()) {
      throw ASRError::processingFailed(std::string("Unexpected decoder state shape: ") + shapeList(t.shape()));
    }
    // Always into the existing storage: the decoder's "h_in" and "c_in"
    // inputs borrow these buffers, so they must never be reallocated.
    if (t.type() == ElementType::float32) {
      std::memcpy(destination.data(), t.rawData(), destination.size() * sizeof(float));
    } else {
      const std::vector<float> widened = t.toFloats();
      std::copy(widened.begin(), widened.end(), destination.begin());
    }
  }

  const OnnxModel& m_model;
  std::vector<float>& m_hidden;
  std::vector<float>& m_cell;
  NamedTensors m_inputs;
  NamedTensors m_outputs;
  bool m_prebound = false;
  bool m_targetIsInt64 = false;
};

// Evaluates the joint network on one encoder frame and the prepared decoder
// step, reusing its inputs and (when shapes are fixed) its outputs.
class JointRunner {
 public:
  JointRunner(const OnnxModel& model, const EncoderFrameView& view, const Tensor& decoderStep)
      : m_model(model), m_view(view) {
    m_encoderStep = Tensor::zeros(ElementType::float32, {1, EncoderFrameView::hiddenSize, 1});
    m_inputs["encoder_step"] = m_encoderStep;
    m_inputs["decoder_step"] = decoderStep;
    const char* names[3] = {"token_id", "token_prob", "duration"};
    m_prebound = true;
    for (const char* n : names) {
      const TensorInfo* info = model.output(n);
      if (!info || !isStatic(info->shape)) {
        m_prebound = false;
      }
    }
    if (m_prebound) {
      for (const char* n : names) {
        const TensorInfo* info = model.output(n);
        m_outputs[n] = Tensor::zeros(info->type, info->shape);
      }
    }
  }

  TdtDecoderV3::JointDecision evaluate(int64_t timeIndex) {
    m_view.copyFrame(timeIndex, m_encoderStep.data<float>(), 1);
    if (m_prebound) {
      m_model.predictInto(m_inputs, m_outputs);
    } else {
      m_outputs = m_model.predict(m_inputs);
    }
    const Tensor& token = output("token_id", "Joint decision output missing token_id");
    const Tensor& prob = output("token_prob", "Joint decision output missing token_prob");
    const Tensor& duration = output("duration", "Joint decision output missing duration");
    if (token.elementCount() != 1 || prob.elementCount() != 1 || duration.elementCount() != 1) {
      throw ASRError::processingFailed("Joint decision returned unexpected tensor shapes");
    }
    TdtDecoderV3::JointDecision d;
    d.token = readInt(token);
    d.probability = prob.type() == ElementType::float32 ? prob.data<float>()[0] : prob.toFloats()[0];
    d.durationBin = readInt(duration);
    return d;
  }

 private:
  const Tensor& output(const char* name, const char* missing) const {
    auto it = m_outputs.find(name);
    if (it == m_outputs.end() || it->second.empty()) {
      throw ASRError::processingFailed(missing);
    }
    return it->second;
  }
  static int readInt(const Tensor& t) {
    switch (t.type()) {
      case ElementType::int32: return t.data<int32_t>()[0];
      case ElementType::int64: return static_cast<int32_t>(t.data<int64_t>()[0]);
      default: return static_cast<int32_t>(t.toFloats()[0]);
    }
  }

  const OnnxModel& m_model;
  const EncoderFrameView& m_view;
  Tensor m_encoderStep;
  NamedTensors m_inputs;
  NamedTensors m_outputs;
  bool m_prebound = false;
};

}  // namespace

TdtDecoderV3::TdtDecoderV3(ASRConfig config) : m_logger("TDT"), m_config(std::move(config)) {}

float TdtDecoderV3::clampProbability(float p) {
  if (!std::isfinite(p)) {
    return 0.0f;
  }
  return std::clamp(p, 0.0f, 1.0f);
}

int TdtDecoderV3::mapDurationBin(int bin, const std::vector<int>& durationBins) {
  if (bin < 0 || bin >= static_cast<int>(durationBins.size())) {
    throw ASRError::processingFailed("Duration bin index out of range: " + std::to_string(bin));
  }
  return durationBins[static_cast<size_t>(bin)];
}

void TdtDecoderV3::populatePreparedDecoderProjection(const Tensor& projection, Tensor& decoderStep) {
  const auto& shape = projection.shape();
  if (shape.size() != 3) {
    throw ASRError::processingFailed("Invalid decoder projection rank: " + shapeList(shape));
  }
  if (shape[0] != 1) {
    throw ASRError::processingFailed("Unsupported decoder batch dimension: " + std::to_string(shape[0]));
  }
  if (projection.type() != ElementType::float32) {
    throw ASRError::processingFailed("Unsupported decoder projection type: " +
                                     std::string(elementTypeName(projection.type())));
  }
  const std::vector<int64_t> wanted = {1, kDecoderWidth, 1};
  if (decoderStep.type() != ElementType::float32 || decoderStep.shape() != wanted) {
    throw ASRError::processingFailed("Prepared decoder step shape mismatch: " + shapeString(decoderStep.shape()));
  }
  int hiddenAxis = 0;
  int timeAxis = 0;
  if (shape[2] == kDecoderWidth) {
    hiddenAxis = 2;
    timeAxis = 1;
  } else if (shape[1] == kDecoderWidth) {
    hiddenAxis = 1;
    timeAxis = 2;
  } else {
    throw ASRError::processingFailed("Decoder projection hidden size mismatch: " + shapeList(shape));
  }
  if (shape[static_cast<size_t>(timeAxis)] != 1) {
    throw ASRError::processingFailed("Decoder projection time axis must be 1: " + shapeList(shape));
  }
  const int64_t strides[3] = {shape[1] * shape[2], shape[2], 1};
  const int64_t hiddenStride = strides[hiddenAxis];
  if ((kDecoderWidth - 1) * hiddenStride >= static_cast<int64_t>(projection.elementCount())) {
    throw ASRError::processingFailed("Decoder projection stride exceeds buffer bounds");
  }
  const float* source = projection.data<float>();
  float* destination = decoderStep.data<float>();
  if (hiddenStride == 1) {
    if (source != destination) {
      std::memcpy(destination, source, kDecoderWidth * sizeof(float));
    }
    return;
  }
  for (int64_t h = 0; h < kDecoderWidth; ++h) {
    destination[h] = source[h * hiddenStride];
  }
}

TdtHypothesis TdtDecoderV3::decodeWithTimings(const Request& request, const OnnxModel& decoderModel,
                                              const OnnxModel& jointModel, TdtDecoderState& state) {
  const TdtConfig& cfg = m_config.tdtConfig;
  const int blankId = cfg.blankId;
  m_statistics = {};

  auto emptyHypothesis = [&state] {
    TdtHypothesis h;
    h.decoderState = state;
    return h;
  };

  // 1. Too short to decode.
  if (request.encoderSequenceLength < 2 || request.encoderOutput == nullptr) {
    return emptyHypothesis();
  }
  // 2. Frame view.
  const EncoderFrameView view(*request.encoderOutput, request.encoderSequenceLength);

  // 3. Start frame.
  int start = 0;
  if (state.timeJump) {
    if (*state.timeJump == 0 && request.contextFrameAdjustment == 0) {
      start = 25;
    } else {
      start = std::max(*state.timeJump + request.contextFrameAdjustment, 0);
    }
  } else {
    start = request.contextFrameAdjustment;
  }

  // 4. Valid range.
  const int L = std::min(request.encoderSequenceLength, request.actualAudioFrames);
  const int last = L - 1;
  if (start >= L) {
    return emptyHypothesis();
  }
  int t = start;

  // 5. Working state and reused buffers.
  std::vector<float> workHidden = state.hiddenState;
  std::vector<float> workCell = state.cellState;
  if (workHidden.size() != static_cast<size_t>(TdtDecoderState::stateElementCount)) {
    workHidden.assign(TdtDecoderState::stateElementCount, 0.0f);
  }
  if (workCell.size() != static_cast<size_t>(TdtDecoderState::stateElementCount)) {
    workCell.assign(TdtDecoderState::stateElementCount, 0.0f);
  }
  std::optional<int> workLastToken = state.lastToken;
  std::optional<std::vector<float>> cachedProjection = state.predictorOutput;

  Tensor decoderStep = Tensor::zeros(ElementType::float32, {1, kDecoderWidth, 1});
  DecoderRunner decoder(decoderModel, workHidden, workCell);
  JointRunner joint(jointModel, view, decoderStep);

  auto stepDecoder = [&](int token) -> const Tensor& {
    ++m_statistics.decoderSteps;
    m_statistics.order.push_back('d');
    return decoder.step(token);
  };
  auto takeProjection = [&](const Tensor& projection) {
    populatePreparedDecoderProjection(projection, decoderStep);
    const float* p = decoderStep.data<float>();
    cachedProjection = std::vector<float>(p, p + kDecoderWidth);
  };

  // 6. Priming of a state that has seen nothing.
  if (!state.predictorOutput && !state.lastToken) {
    const TdtDecoderState fresh = TdtDecoderState::make();
    state.hiddenState = fresh.hiddenState;
    state.cellState = fresh.cellState;
    // In place: the decoder runner reads these buffers.
    std::copy(fresh.hiddenState.begin(), fresh.hiddenState.end(), workHidden.begin());
    std::copy(fresh.cellState.begin(), fresh.cellState.end(), workCell.begin());
    takeProjection(stepDecoder(blankId));
    state.predictorOutput = cachedProjection;
  }

  // The prepared decoder step always mirrors the cached projection.
  auto ensureProjection = [&] {
    if (cachedProjection) {
      if (cachedProjection->size() != static_cast<size_t>(kDecoderWidth)) {
        throw ASRError::processingFailed("Decoder projection hidden size mismatch: [" +
                                         std::to_string(cachedProjection->size()) + "]");
      }
      std::memcpy(decoderStep.data<float>(), cachedProjection->data(), kDecoderWidth * sizeof(float));
      return;
    }
    takeProjection(stepDecoder(workLastToken.value_or(blankId)));
  };

  TdtHypothesis hyp;
  struct PendingToken {
    int token;
    float probability;
    int frame;
  };
  std::optional<PendingToken> droppedAtEnd;
  int tokensEmitted = 0;
  int symbolsAtFrame = 0;
  int lastEmissionFrame = -1;

  auto evaluate = [&](int frame, int& token, float& prob, int& duration) {
    ++m_statistics.jointEvaluations;
    m_statistics.order.push_back('j');
    const JointDecision d = joint.evaluate(frame);
    token = d.token;
    prob = clampProbability(d.probability);
    duration = mapDurationBin(d.durationBin, cfg.durationBins);
  };

  auto appendAndAdvanceDecoder = [&](int token, float prob, int frame) {
    hyp.tokenIds.push_back(token);
    hyp.timestamps.push_back(frame + request.globalFrameOffset);
    hyp.confidences.push_back(prob);
    hyp.score += prob;
    takeProjection(stepDecoder(token));
    state.predictorOutput = cachedProjection;
    workLastToken = token;
  };

  // 7. Main loop.
  while (t < L) {
    ensureProjection();
    int token = 0;
    float prob = 0;
    int duration = 0;
    evaluate(std::min(t, last), token, prob, duration);
    int skip = token == blankId ? std::max(duration, 1) : duration;
    int tNext = t + skip;
    int candidateFrame = t;

    bool endReached = tNext >= L;
    while (!endReached && token == blankId) {
      evaluate(tNext, token, prob, duration);
      skip = token == blankId ? std::max(duration, 1) : duration;
      const int tAfter = tNext + skip;
      if (tAfter >= L) {
        candidateFrame = tNext;
        tNext = tAfter;
        endReached = true;
        break;
      }
      candidateFrame = tNext;
      tNext = tAfter;
    }
    if (endReached) {
      // The token's duration reaches past the valid frames. Inside a longer
      // stream the next window recognises it again; at the very end of the
      // audio nothing would, so it is kept there. A last chunk first gives
      // its flush the chance to find it again.
      if (token != blankId && tokensEmitted + 1 <= cfg.maxTokensPerChunk) {
        if (request.keepTokenAtEnd) {
          ++tokensEmitted;
          appendAndAdvanceDecoder(token, prob, candidateFrame);
        } else if (request.isLastChunk) {
          droppedAtEnd = PendingToken{token, prob, candidateFrame};
        }
      }
      t = tNext;
      break;
    }

    ++tokensEmitted;
    if (tokensEmitted > cfg.maxTokensPerChunk) {
      t = tNext;
      break;
    }
    appendAndAdvanceDecoder(token, prob, candidateFrame);

    bool forceAdvance = false;
    if (candidateFrame == lastEmissionFrame) {
      ++symbolsAtFrame;
      if (symbolsAtFrame >= cfg.maxSymbolsPerStep) {
        forceAdvance = true;
      } else {
        t = tNext;
      }
    } else {
      lastEmissionFrame = candidateFrame;
      symbolsAtFrame = 1;
      t = tNext;
      if (cfg.maxSymbolsPerStep <= 1) {
        forceAdvance = true;
      }
    }
    if (forceAdvance) {
      t = std::min(last, tNext + 1);
      lastEmissionFrame = -1;
      symbolsAtFrame = 0;
    }
  }

  // 8. Last-chunk flush: the joint gets a few more looks at the final frames
  // so a token the main loop stepped over at the very end is not lost.
  bool flushEmitted = false;
  if (request.isLastChunk && cfg.maxSymbolsPerStep >= 1 && cfg.consecutiveBlankLimit >= 1) {
    int base = t;
    const int F = static_cast<int>(view.frameCount());
    int consecutiveBlanks = 0;
    for (int k = 0; k < cfg.maxSymbolsPerStep; ++k) {
      ensureProjection();
      const int candidates[3] = {std::min(F - 1, base), std::min(F - 1, last), std::min(F - 1, std::max(L - 2, 0))};
      int token = 0;
      float prob = 0;
      int duration = 0;
      evaluate(candidates[k % 3], token, prob, duration);
      if (token == blankId) {
        ++consecutiveBlanks;
      } else {
        appendAndAdvanceDecoder(token, prob, std::min(last, base));
        flushEmitted = true;
        consecutiveBlanks = 0;
      }
      base = std::min(L, base + std::max(duration, 1));
      if (consecutiveBlanks >= cfg.consecutiveBlankLimit) {
        break;
      }
    }
  }
  // The audio's final token, stepped over because its duration reaches past
  // the end and not found again by the flush: no later audio will bring it
  // back, so it is kept where the main loop saw it.
  if (droppedAtEnd && !flushEmitted) {
    appendAndAdvanceDecoder(droppedAtEnd->token, droppedAtEnd->probability, droppedAtEnd->frame);
  }

  // 9. End of chunk: the caller's state carries the newest decoder step.
  state.hiddenState = workHidden;
  state.cellState = workCell;
  state.lastToken = workLastToken;
  state.predictorOutput = request.isLastChunk ? std::nullopt : cachedProjection;
  if (state.lastToken && isBoundaryToken(*state.lastToken)) {
    state.predictorOutput.reset();
  }
  if (request.isLastChunk) {
    state.timeJump.reset();
  } else {
    state.timeJump = t - L;
  }

  hyp.decoderState = state;
  hyp.lastToken = state.lastToken;
  return hyp;
}

}  // namespace voxtrellis
