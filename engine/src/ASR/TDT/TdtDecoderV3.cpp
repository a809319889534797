#include "ASR/TDT/TdtDecoderV3.h"

#include "ASR/TDT/EncoderFrameView.h"
#include "ASR/TDT/TdtDecoderModel.h"
#include "ASR/TDT/TdtJointModel.h"

#include <voxtrellis/ASRError.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace voxtrellis {

namespace {

constexpr int64_t kDecoderWidth = TdtDecoderState::hiddenSize;

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

namespace {

// Where decoding starts: a carried jump of exactly 0 with no adjustment
// resumes at frame 25 (the context the next window repeats); any other jump
// is applied with the adjustment; a fresh state starts at the adjustment.
int startFrame(const TdtDecoderState& state, int contextFrameAdjustment) {
  if (!state.timeJump) {
    return contextFrameAdjustment;
  }
  if (*state.timeJump == 0 && contextFrameAdjustment == 0) {
    return 25;
  }
  return std::max(*state.timeJump + contextFrameAdjustment, 0);
}

// A state array of the wrong size starts from zeros.
std::span<const float> workingArray(const std::vector<float>& array) {
  static const std::vector<float> zeros(TdtDecoderState::stateElementCount, 0.0f);
  return array.size() == static_cast<size_t>(TdtDecoderState::stateElementCount) ? array : zeros;
}

}  // namespace

// One chunk's decoding: the working decoder state (inside the decoder
// session), the two model sessions and the hypothesis being built. The
// caller's state takes the arrays at the end; its projection is kept up to
// date at every decoder step.
class TdtDecoderV3::ChunkDecoding {
 public:
  ChunkDecoding(TdtDecoderV3& owner, const Request& request, const EncoderFrameView& view,
                const TdtDecoderModel& decoderModel, const TdtJointModel& jointModel, TdtDecoderState& state)
      : m_owner(owner),
        m_cfg(owner.m_config.tdtConfig),
        m_request(request),
        m_view(view),
        m_state(state),
        m_lastToken(state.lastToken),
        m_decoderStep(Tensor::zeros(ElementType::float32, {1, kDecoderWidth, 1})),
        m_decoder(decoderModel, m_decoderStep),
        m_joint(jointModel, m_decoderStep),
        m_validFrames(std::min(request.encoderSequenceLength, request.actualAudioFrames)),
        m_lastFrame(m_validFrames - 1) {
    m_decoder.setState(workingArray(state.hiddenState), workingArray(state.cellState));
    if (const auto& carried = state.predictorOutput) {
      if (carried->size() != static_cast<size_t>(kDecoderWidth)) {
        throw ASRError::processingFailed("Decoder projection hidden size mismatch: [" +
                                         std::to_string(carried->size()) + "]");
      }
      std::memcpy(m_decoderStep.data<float>(), carried->data(), kDecoderWidth * sizeof(float));
      m_hasProjection = true;
    }
  }

  int validFrames() const { return m_validFrames; }

  // A state that has seen nothing starts from zeros and the blank's projection.
  void primeIfFresh() {
    if (m_state.predictorOutput || m_state.lastToken) {
      return;
    }
    const TdtDecoderState fresh = TdtDecoderState::make();
    m_state.hiddenState = fresh.hiddenState;
    m_state.cellState = fresh.cellState;
    m_decoder.setState(fresh.hiddenState, fresh.cellState);
    takeProjection(stepDecoder(m_cfg.blankId));
    publishProjection();
  }

  // Greedy decoding from frame `t` to the end of the valid frames. Returns
  // the frame after the last step.
  int runMainLoop(int t) {
    while (t < m_validFrames) {
      ensureProjection();
      Step step = evaluate(std::min(t, m_lastFrame));
      int tNext = t + step.skip();
      int candidateFrame = t;

      bool endReached = tNext >= m_validFrames;
      while (!endReached && step.token == m_cfg.blankId) {
        step = evaluate(tNext);
        const int tAfter = tNext + step.skip();
        candidateFrame = tNext;
        tNext = tAfter;
        endReached = tAfter >= m_validFrames;
      }
      if (endReached) {
        holdOrKeepFinalToken(step, candidateFrame);
        return tNext;
      }

      ++m_tokensEmitted;
      if (m_tokensEmitted > m_cfg.maxTokensPerChunk) {
        return tNext;
      }
      emit(step.token, step.probability, candidateFrame);
      t = nextFrameAfterEmission(candidateFrame, tNext);
    }
    return t;
  }

  // Last-chunk flush: the joint gets a few more looks at the final frames so
  // a token the main loop stepped over at the very end is not lost.
  void flush(int t) {
    if (!m_request.isLastChunk || m_cfg.maxSymbolsPerStep < 1 || m_cfg.consecutiveBlankLimit < 1) {
      return;
    }
    int base = t;
    const int F = static_cast<int>(m_view.frameCount());
    int consecutiveBlanks = 0;
    for (int k = 0; k < m_cfg.maxSymbolsPerStep; ++k) {
      ensureProjection();
      const int candidates[3] = {std::min(F - 1, base), std::min(F - 1, m_lastFrame),
                                 std::min(F - 1, std::max(m_validFrames - 2, 0))};
      const Step step = evaluate(candidates[k % 3]);
      if (step.token == m_cfg.blankId) {
        ++consecutiveBlanks;
      } else {
        emit(step.token, step.probability, std::min(m_lastFrame, base));
        m_flushedTokens.push_back(step.token);
        consecutiveBlanks = 0;
      }
      base = std::min(m_validFrames, base + std::max(step.duration, 1));
      if (consecutiveBlanks >= m_cfg.consecutiveBlankLimit) {
        break;
      }
    }
  }

  // The audio's final token, stepped over because its duration reaches past
  // the end: no later audio will bring it back, so it is kept where the main
  // loop saw it, unless the flush found that same token again.
  void keepHeldToken() {
    if (!m_held) {
      return;
    }
    if (std::find(m_flushedTokens.begin(), m_flushedTokens.end(), m_held->token) != m_flushedTokens.end()) {
      return;
    }
    emit(m_held->token, m_held->probability, m_held->frame);
  }

  // The caller's state carries the newest decoder step.
  TdtHypothesis finish(int t) {
    m_state.hiddenState.assign(m_decoder.hidden().begin(), m_decoder.hidden().end());
    m_state.cellState.assign(m_decoder.cell().begin(), m_decoder.cell().end());
    m_state.lastToken = m_lastToken;
    if (m_request.isLastChunk || !m_hasProjection) {
      m_state.predictorOutput.reset();
    } else {
      publishProjection();
    }
    if (m_state.lastToken && isBoundaryToken(*m_state.lastToken)) {
      m_state.predictorOutput.reset();
    }
    if (m_request.isLastChunk) {
      m_state.timeJump.reset();
    } else {
      m_state.timeJump = t - m_validFrames;
    }
    m_hypothesis.decoderState = m_state;
    m_hypothesis.lastToken = m_state.lastToken;
    return std::move(m_hypothesis);
  }

 private:
  struct Step {
    int token = 0;
    float probability = 0;
    int duration = 0;  // frames
    int blankId = 0;
    // Frames to move on: a blank always moves at least one.
    int skip() const { return token == blankId ? std::max(duration, 1) : duration; }
  };
  struct HeldToken {
    int token;
    float probability;
    int frame;
  };

  const Tensor& stepDecoder(int token) {
    ++m_owner.m_statistics.decoderSteps;
    m_owner.m_statistics.order.push_back('d');
    return m_decoder.step(token);
  }

  // The decoder session may have written the projection into the decoder
  // step already; then nothing is copied.
  void takeProjection(const Tensor& projection) {
    populatePreparedDecoderProjection(projection, m_decoderStep);
    m_hasProjection = true;
  }

  // The caller's state carries the newest projection, in the storage it
  // already has.
  void publishProjection() {
    const float* p = m_decoderStep.data<float>();
    if (!m_state.predictorOutput) m_state.predictorOutput.emplace();
    m_state.predictorOutput->assign(p, p + kDecoderWidth);
  }

  // The decoder step holds the projection of the working state once the
  // decoder has run (or the caller's state brought one); until then the
  // decoder runs on the last token (or the blank).
  void ensureProjection() {
    if (!m_hasProjection) {
      takeProjection(stepDecoder(m_lastToken.value_or(m_cfg.blankId)));
    }
  }

  Step evaluate(int frame) {
    ++m_owner.m_statistics.jointEvaluations;
    m_owner.m_statistics.order.push_back('j');
    m_view.copyFrame(frame, m_joint.encoderStep(), 1);
    const TdtJointModel::Decision d = m_joint.evaluate();
    return Step{d.token, clampProbability(d.probability), mapDurationBin(d.durationBin, m_cfg.durationBins),
                m_cfg.blankId};
  }

  // Appends a token and feeds it to the decoder.
  void emit(int token, float probability, int frame) {
    m_hypothesis.tokenIds.push_back(token);
    m_hypothesis.timestamps.push_back(frame + m_request.globalFrameOffset);
    m_hypothesis.confidences.push_back(probability);
    m_hypothesis.score += probability;
    takeProjection(stepDecoder(token));
    publishProjection();
    m_lastToken = token;
  }

  // The token's duration reaches past the valid frames. Inside a longer
  // stream the next window recognises it again; at the very end of the audio
  // nothing would, so it is kept there. A last chunk first gives its flush
  // the chance to find it again.
  void holdOrKeepFinalToken(const Step& step, int frame) {
    if (step.token == m_cfg.blankId || m_tokensEmitted + 1 > m_cfg.maxTokensPerChunk) {
      return;
    }
    if (m_request.keepTokenAtEnd) {
      ++m_tokensEmitted;
      emit(step.token, step.probability, frame);
    } else if (m_request.isLastChunk) {
      m_held = HeldToken{step.token, step.probability, frame};
    }
  }

  // After an emission: move on by the token's duration, unless too many
  // symbols came out of one frame, which forces the frame forward.
  int nextFrameAfterEmission(int frame, int tNext) {
    bool forceAdvance = false;
    int t = tNext;
    if (frame == m_lastEmissionFrame) {
      ++m_symbolsAtFrame;
      if (m_symbolsAtFrame >= m_cfg.maxSymbolsPerStep) {
        forceAdvance = true;
      }
    } else {
      m_lastEmissionFrame = frame;
      m_symbolsAtFrame = 1;
      if (m_cfg.maxSymbolsPerStep <= 1) {
        forceAdvance = true;
      }
    }
    if (forceAdvance) {
      t = std::min(m_lastFrame, tNext + 1);
      m_lastEmissionFrame = -1;
      m_symbolsAtFrame = 0;
    }
    return t;
  }

  TdtDecoderV3& m_owner;
  const TdtConfig& m_cfg;
  const Request& m_request;
  const EncoderFrameView& m_view;
  TdtDecoderState& m_state;
  std::optional<int> m_lastToken;
  bool m_hasProjection = false;
  Tensor m_decoderStep;  // the joint's "decoder_step": always the working state's projection
  TdtDecoderModel::Session m_decoder;
  TdtJointModel::Session m_joint;
  const int m_validFrames;
  const int m_lastFrame;
  TdtHypothesis m_hypothesis;
  std::optional<HeldToken> m_held;
  std::vector<int> m_flushedTokens;
  int m_tokensEmitted = 0;
  int m_symbolsAtFrame = 0;
  int m_lastEmissionFrame = -1;
};

TdtHypothesis TdtDecoderV3::decodeWithTimings(const Request& request, const TdtDecoderModel& decoderModel,
                                              const TdtJointModel& jointModel, TdtDecoderState& state) {
  m_statistics = {};
  auto emptyHypothesis = [&state] {
    TdtHypothesis h;
    h.decoderState = state;
    return h;
  };
  if (request.encoderSequenceLength < 2 || request.encoderOutput == nullptr) {
    return emptyHypothesis();  // too short to decode
  }
  const EncoderFrameView view(*request.encoderOutput, request.encoderSequenceLength);
  const int start = startFrame(state, request.contextFrameAdjustment);
  if (start >= std::min(request.encoderSequenceLength, request.actualAudioFrames)) {
    return emptyHypothesis();
  }
  ChunkDecoding decoding(*this, request, view, decoderModel, jointModel, state);
  decoding.primeIfFresh();
  const int end = decoding.runMainLoop(start);
  decoding.flush(end);
  decoding.keepHeldToken();
  return decoding.finish(end);
}

}  // namespace voxtrellis
