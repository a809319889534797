#pragma once

#include "Onnx/ModelCost.h"
#include "Onnx/ModelRuntimeError.h"
#include "Onnx/Tensor.h"

#include <voxtrellis/ComputeUnits.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace voxtrellis {

// Name, element type and shape of a model input or output. Open dimensions
// (batch, sequence length) are -1.
struct TensorInfo {
  std::string name;
  ElementType type = ElementType::float32;
  std::vector<int64_t> shape;

  // True when `dims` has the same rank and agrees on every fixed dimension.
  bool accepts(const std::vector<int64_t>& dims) const;
};

// What a model class expects of one input or output: its name, element type
// and rank (the number of dimensions; fixed sizes are checked where they run).
struct TensorSpec {
  std::string name;
  ElementType type = ElementType::float32;
  std::size_t rank = 0;
};

// One loaded model: the stand-in for a compiled model of the accelerator
// platform. A compiled-model folder "Name.mlmodelc" holds "model.onnx" (and
// optionally "model.onnx.data" for external weights).
//
// Thread safety: predict() may be called from several threads at once.
class OnnxModel {
 public:
  // Loads "<folder>/model.onnx" with threads for a model of `cost`. Throws
  // ModelRuntimeError (folderMissing, modelFileMissing, loadFailed).
  static std::shared_ptr<OnnxModel> load(const std::filesystem::path& modelFolder,
                                         ComputeUnits units = ComputeUnits::all, ModelCost cost = ModelCost::heavy);
  // Loads an .onnx file directly. Throws ModelRuntimeError (modelFileMissing, loadFailed).
  static std::shared_ptr<OnnxModel> loadFile(const std::filesystem::path& onnxFile,
                                             ComputeUnits units = ComputeUnits::all, ModelCost cost = ModelCost::heavy);

  ~OnnxModel();
  OnnxModel(const OnnxModel&) = delete;
  OnnxModel& operator=(const OnnxModel&) = delete;

  // The model's folder name without ".mlmodelc" (or the file stem).
  const std::string& name() const;
  const std::filesystem::path& path() const;
  ComputeUnits computeUnits() const;
  ModelCost cost() const;
  // The threads the session was opened with.
  const ThreadSettings& threadSettings() const;

  // Calls `observer` with every model loaded from now on, on the loading
  // thread, once the model is complete; an empty function stops it. A seam
  // for tests that check what a whole load path opened.
  static void setLoadObserver(std::function<void(const OnnxModel&)> observer);

  const std::vector<TensorInfo>& inputs() const;
  const std::vector<TensorInfo>& outputs() const;
  const TensorInfo* input(const std::string& name) const;
  const TensorInfo* output(const std::string& name) const;

  // Checks at load time that the model declares every expected input and
  // output with the expected element type and rank. Throws ModelRuntimeError
  // (interfaceMismatch) naming the file and the first difference found.
  void requireInterface(const std::vector<TensorSpec>& inputs, const std::vector<TensorSpec>& outputs) const;

  // Runs the model. `inputs` must name every declared input with the declared
  // element type and a shape the declaration accepts; tensors are read in
  // place, never copied. Returns the requested outputs (all when
  // `outputNames` is empty); each output owns the runtime's buffer.
  // Throws ModelRuntimeError (invalidInput, inferenceFailed).
  NamedTensors predict(const NamedTensors& inputs, const std::vector<std::string>& outputNames = {}) const;

  // Runs the model writing into caller-provided output tensors (each must have
  // the output's element type and exact shape). Inputs and outputs must not
  // share memory. Throws like predict().
  void predictInto(const NamedTensors& inputs, NamedTensors& outputs) const;

  // predictInto() prepared once for a loop of calls over the same buffers:
  // the inputs and outputs are checked and handed to the runtime when the
  // call is made, so each run() only runs the model, reading the inputs'
  // current contents and writing the outputs in place. The tensors' storage
  // must stay alive and in place while the call is used (owned tensors are
  // kept alive by it). One thread at a time per call.
  class BoundCall {
   public:
    // Throws ModelRuntimeError (invalidInput) like predictInto().
    BoundCall(const OnnxModel& model, const NamedTensors& inputs, const NamedTensors& outputs);
    ~BoundCall();
    BoundCall(const BoundCall&) = delete;
    BoundCall& operator=(const BoundCall&) = delete;

    // Throws ModelRuntimeError (inferenceFailed).
    void run();

   private:
    friend class OnnxModel;  // predictInto() is a bound call made for one run
    struct Values;
    const OnnxModel& m_model;
    const NamedTensors m_inputs;  // hold owned storage and the names the runtime is given
    const NamedTensors m_outputs;
    std::unique_ptr<Values> m_values;
  };

 private:
  struct Impl;
  explicit OnnxModel(std::unique_ptr<Impl> impl);
  static std::shared_ptr<OnnxModel> open(const std::filesystem::path& onnxFile, ComputeUnits units, ModelCost cost);
  void announce() const;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace voxtrellis
