#pragma once

#include <voxtrellis/ASRConfig.h>
#include <voxtrellis/AppLogger.h>
#include <voxtrellis/TdtDecoderState.h>

#include "Onnx/Tensor.h"

#include <string>
#include <vector>

namespace voxtrellis {

class TdtDecoderModel;
class TdtJointModel;

// Greedy decoding of a token-and-duration transducer over one chunk of encoder
// output. The joint network picks a token, its probability and a duration bin
// for one encoder frame and the current prediction-network output; blanks move
// the frame pointer, emitted tokens feed the prediction network ("decoder"
// model) and their duration says how many frames to skip. Works in encoder
// frames (1280 samples each); the caller turns frames into seconds.
//
// Not thread-safe: one decode at a time per instance; the caller's state is
// used exclusively while a decode runs.
class TdtDecoderV3 {
 public:
  struct Request {
    const Tensor* encoderOutput = nullptr;  // [1, 1024, T] or [1, T, 1024] float32
    int encoderSequenceLength = 0;          // valid encoder frames
    int actualAudioFrames = 0;              // frames that hold real audio
    int contextFrameAdjustment = 0;         // start frame when no time jump is carried
    // Runs the last-chunk flush; a final token whose duration reaches past
    // the end is kept when the flush does not find it again.
    bool isLastChunk = false;
    int globalFrameOffset = 0;  // global frame of this chunk's frame 0
    // No audio follows this window and no flush runs: a token whose duration
    // reaches the window's end is kept instead of dropped, so the last word
    // of a file never vanishes.
    bool keepTokenAtEnd = false;
  };

  // Model calls of the last decode, for measuring the loop's own cost.
  struct Statistics {
    int jointEvaluations = 0;
    int decoderSteps = 0;
    std::string order;  // one letter per call: 'd' decoder, 'j' joint
  };

  explicit TdtDecoderV3(ASRConfig config);

  const Statistics& statistics() const { return m_statistics; }

  // Decodes one chunk; `state` is updated in place (see the state's fields).
  // Throws ASRError::processingFailed for malformed model outputs or encoder
  // layouts, and ModelRuntimeError for failed predictions.
  TdtHypothesis decodeWithTimings(const Request& request, const TdtDecoderModel& decoderModel,
                                  const TdtJointModel& jointModel, TdtDecoderState& state);

  // NaN and infinities become 0, everything else is limited to 0...1.
  static float clampProbability(float p);
  // The frames a duration bin stands for; throws for a bin outside the list.
  static int mapDurationBin(int bin, const std::vector<int>& durationBins);
  // Copies a 640-wide decoder projection ([1, 640, 1] or [1, 1, 640]) into a
  // dense [1, 640, 1] float32 destination, with the layout checks.
  static void populatePreparedDecoderProjection(const Tensor& projection, Tensor& decoderStep);

  // Token ids whose repetition across a window boundary is suspicious; a
  // chunk ending on one forgets its cached projection.
  static bool isBoundaryToken(int token) { return token == 7883 || token == 7948 || token == 7952; }

 private:
  class ChunkDecoding;

  AppLogger m_logger;
  ASRConfig m_config;
  Statistics m_statistics;
};

// Version-2 models: the same decoder with the configuration's blank id.
class TdtDecoderV2 {
 public:
  explicit TdtDecoderV2(ASRConfig config) : m_config(std::move(config)) {}
  TdtHypothesis decodeWithTimings(const TdtDecoderV3::Request& request, const TdtDecoderModel& decoderModel,
                                  const TdtJointModel& jointModel, TdtDecoderState& state) {
    return TdtDecoderV3(m_config).decodeWithTimings(request, decoderModel, jointModel, state);
  }

 private:
  ASRConfig m_config;
};

}  // namespace voxtrellis
