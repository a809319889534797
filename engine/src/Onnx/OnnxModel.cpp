#include "Onnx/OnnxModel.h"

#include "Onnx/OrtEnvironment.h"

#include <onnxruntime_cxx_api.h>

#include <algorithm>
#include <mutex>
#include <set>
#include <sstream>

namespace voxtrellis {

namespace fs = std::filesystem;

namespace {

std::optional<ElementType> fromOnnx(ONNXTensorElementDataType t) {
  switch (t) {
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT: return ElementType::float32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16: return ElementType::float16;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32: return ElementType::int32;
    case ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64: return ElementType::int64;
    default: return std::nullopt;
  }
}

ONNXTensorElementDataType toOnnx(ElementType t) {
  switch (t) {
    case ElementType::float32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
    case ElementType::float16: return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT16;
    case ElementType::int32: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT32;
    case ElementType::int64: return ONNX_TENSOR_ELEMENT_DATA_TYPE_INT64;
  }
  return ONNX_TENSOR_ELEMENT_DATA_TYPE_FLOAT;
}

std::string shapeText(const std::vector<int64_t>& shape) {
  std::ostringstream out;
  out << '[';
  for (std::size_t i = 0; i < shape.size(); ++i) {
    out << (i ? "," : "") << (shape[i] < 0 ? std::string("?") : std::to_string(shape[i]));
  }
  out << ']';
  return out.str();
}

TensorInfo describe(const std::string& name, const Ort::TypeInfo& typeInfo, const fs::path& path) {
  if (typeInfo.GetONNXType() != ONNX_TYPE_TENSOR) {
    throw ModelRuntimeError(ModelRuntimeError::Kind::loadFailed, path, "'" + name + "' is not a tensor");
  }
  // The shape info is a view into typeInfo, which stays alive for this scope.
  auto shapeInfo = typeInfo.GetTensorTypeAndShapeInfo();
  auto type = fromOnnx(shapeInfo.GetElementType());
  if (!type) {
    throw ModelRuntimeError(ModelRuntimeError::Kind::loadFailed, path,
                            "'" + name + "' has an unsupported element type");
  }
  TensorInfo info;
  info.name = name;
  info.type = *type;
  info.shape = shapeInfo.GetShape();
  for (auto& d : info.shape) {
    if (d < 0) d = -1;
  }
  return info;
}

std::mutex& observerMutex() {
  static std::mutex mutex;
  return mutex;
}
std::function<void(const OnnxModel&)>& loadObserver() {
  static std::function<void(const OnnxModel&)> observer;
  return observer;
}

Ort::Value makeValue(const Tensor& tensor) {
  static const Ort::MemoryInfo memory = Ort::MemoryInfo::CreateCpu(OrtArenaAllocator, OrtMemTypeDefault);
  // The runtime never writes to an input; its API just takes a mutable pointer.
  return Ort::Value::CreateTensor(memory, const_cast<void*>(tensor.rawData()), tensor.byteCount(),
                                  tensor.shape().data(), tensor.shape().size(), toOnnx(tensor.type()));
}

}  // namespace

bool TensorInfo::accepts(const std::vector<int64_t>& dims) const {
  if (dims.size() != shape.size()) return false;
  for (std::size_t i = 0; i < dims.size(); ++i) {
    if (shape[i] >= 0 && shape[i] != dims[i]) return false;
  }
  return true;
}

struct OnnxModel::Impl {
  fs::path path;
  std::string name;
  ComputeUnits units = ComputeUnits::all;
  ModelCost cost = ModelCost::heavy;
  ThreadSettings threads;
  std::unique_ptr<Ort::Session> session;
  std::vector<TensorInfo> inputs;
  std::vector<TensorInfo> outputs;

  void checkInputs(const NamedTensors& given) const {
    for (const auto& info : inputs) {
      auto it = given.find(info.name);
      if (it == given.end()) {
        throw ModelRuntimeError(ModelRuntimeError::Kind::invalidInput, path, "missing input '" + info.name + "'");
      }
      check(info, it->second, "input");
    }
    if (given.size() != inputs.size()) {
      for (const auto& [n, t] : given) {
        bool known = false;
        for (const auto& info : inputs) known = known || info.name == n;
        if (!known) {
          throw ModelRuntimeError(ModelRuntimeError::Kind::invalidInput, path, "unknown input '" + n + "'");
        }
      }
    }
  }

  void check(const TensorInfo& info, const Tensor& t, const char* role) const {
    if (t.type() != info.type) {
      throw ModelRuntimeError(ModelRuntimeError::Kind::invalidInput, path,
                              std::string(role) + " '" + info.name + "' must be " +
                                  std::string(elementTypeName(info.type)) + ", got " +
                                  std::string(elementTypeName(t.type())));
    }
    if (!info.accepts(t.shape())) {
      throw ModelRuntimeError(ModelRuntimeError::Kind::invalidInput, path,
                              std::string(role) + " '" + info.name + "' must have shape " + shapeText(info.shape) +
                                  ", got " + shapeText(t.shape()));
    }
  }

  const TensorInfo& outputInfo(const std::string& n) const {
    for (const auto& info : outputs) {
      if (info.name == n) return info;
    }
    throw ModelRuntimeError(ModelRuntimeError::Kind::invalidInput, path, "unknown output '" + n + "'");
  }
};

OnnxModel::OnnxModel(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
OnnxModel::~OnnxModel() = default;

std::shared_ptr<OnnxModel> OnnxModel::load(const fs::path& modelFolder, ComputeUnits units, ModelCost cost) {
  std::error_code ec;
  if (!fs::is_directory(modelFolder, ec)) {
    throw ModelRuntimeError(ModelRuntimeError::Kind::folderMissing, modelFolder, "");
  }
  auto model = open(modelFolder / "model.onnx", units, cost);
  std::string name = modelFolder.filename().string();
  if (name.empty()) name = modelFolder.parent_path().filename().string();
  if (const auto dot = name.rfind(".mlmodelc"); dot != std::string::npos && dot + 9 == name.size()) {
    name.erase(dot);
  }
  model->m_impl->name = name;
  model->announce();
  return model;
}

std::shared_ptr<OnnxModel> OnnxModel::loadFile(const fs::path& onnxFile, ComputeUnits units, ModelCost cost) {
  auto model = open(onnxFile, units, cost);
  model->announce();
  return model;
}

void OnnxModel::announce() const {
  std::lock_guard lock(observerMutex());
  if (loadObserver()) loadObserver()(*this);
}

std::shared_ptr<OnnxModel> OnnxModel::open(const fs::path& onnxFile, ComputeUnits units, ModelCost cost) {
  std::error_code ec;
  if (!fs::is_regular_file(onnxFile, ec)) {
    throw ModelRuntimeError(ModelRuntimeError::Kind::modelFileMissing, onnxFile, "");
  }
  auto impl = std::make_unique<Impl>();
  impl->path = onnxFile;
  impl->name = onnxFile.stem().string();
  impl->units = units;
  impl->cost = cost;
  impl->threads = voxtrellis::threadSettings(units, cost);
  try {
    impl->session =
        std::make_unique<Ort::Session>(ortEnvironment(), onnxFile.c_str(), makeSessionOptions(impl->threads));
    Ort::AllocatorWithDefaultOptions allocator;
    for (std::size_t i = 0; i < impl->session->GetInputCount(); ++i) {
      auto n = impl->session->GetInputNameAllocated(i, allocator);
      impl->inputs.push_back(describe(n.get(), impl->session->GetInputTypeInfo(i), onnxFile));
    }
    for (std::size_t i = 0; i < impl->session->GetOutputCount(); ++i) {
      auto n = impl->session->GetOutputNameAllocated(i, allocator);
      impl->outputs.push_back(describe(n.get(), impl->session->GetOutputTypeInfo(i), onnxFile));
    }
  } catch (const Ort::Exception& e) {
    throw ModelRuntimeError(ModelRuntimeError::Kind::loadFailed, onnxFile, e.what());
  }
  return std::shared_ptr<OnnxModel>(new OnnxModel(std::move(impl)));
}

const std::string& OnnxModel::name() const {
  return m_impl->name;
}
const fs::path& OnnxModel::path() const {
  return m_impl->path;
}
ComputeUnits OnnxModel::computeUnits() const {
  return m_impl->units;
}
ModelCost OnnxModel::cost() const {
  return m_impl->cost;
}
const ThreadSettings& OnnxModel::threadSettings() const {
  return m_impl->threads;
}

void OnnxModel::setLoadObserver(std::function<void(const OnnxModel&)> observer) {
  std::lock_guard lock(observerMutex());
  loadObserver() = std::move(observer);
}
const std::vector<TensorInfo>& OnnxModel::inputs() const {
  return m_impl->inputs;
}
const std::vector<TensorInfo>& OnnxModel::outputs() const {
  return m_impl->outputs;
}

const TensorInfo* OnnxModel::input(const std::string& n) const {
  for (const auto& info : m_impl->inputs) {
    if (info.name == n) return &info;
  }
  return nullptr;
}

const TensorInfo* OnnxModel::output(const std::string& n) const {
  for (const auto& info : m_impl->outputs) {
    if (info.name == n) return &info;
  }
  return nullptr;
}

namespace {
void checkDeclared(const fs::path& path, const char* role, const std::vector<TensorInfo>& declared,
                   const std::vector<TensorSpec>& expected) {
  for (const auto& want : expected) {
    const auto it =
        std::find_if(declared.begin(), declared.end(), [&](const TensorInfo& info) { return info.name == want.name; });
    if (it == declared.end()) {
      throw ModelRuntimeError(ModelRuntimeError::Kind::interfaceMismatch, path,
                              std::string("missing ") + role + " \"" + want.name + "\"");
    }
    if (it->type != want.type) {
      throw ModelRuntimeError(ModelRuntimeError::Kind::interfaceMismatch, path,
                              std::string(role) + " \"" + want.name + "\" is " +
                                  std::string(elementTypeName(it->type)) + ", expected " +
                                  std::string(elementTypeName(want.type)));
    }
    if (it->shape.size() != want.rank) {
      throw ModelRuntimeError(ModelRuntimeError::Kind::interfaceMismatch, path,
                              std::string(role) + " \"" + want.name + "\" has rank " +
                                  std::to_string(it->shape.size()) + ", expected " + std::to_string(want.rank));
    }
  }
}
}  // namespace

void OnnxModel::requireInterface(const std::vector<TensorSpec>& inputs, const std::vector<TensorSpec>& outputs) const {
  checkDeclared(m_impl->path, "input", m_impl->inputs, inputs);
  checkDeclared(m_impl->path, "output", m_impl->outputs, outputs);
}

NamedTensors OnnxModel::predict(const NamedTensors& inputs, const std::vector<std::string>& outputNames) const {
  m_impl->checkInputs(inputs);
  std::vector<const char*> inNames;
  std::vector<Ort::Value> inValues;
  for (const auto& [n, t] : inputs) {
    inNames.push_back(n.c_str());
    inValues.push_back(makeValue(t));
  }
  std::vector<std::string> wanted = outputNames;
  if (wanted.empty()) {
    for (const auto& info : m_impl->outputs) wanted.push_back(info.name);
  }
  std::vector<const char*> outNames;
  for (const auto& n : wanted) {
    m_impl->outputInfo(n);
    outNames.push_back(n.c_str());
  }
  NamedTensors result;
  try {
    auto values = m_impl->session->Run(Ort::RunOptions{nullptr}, inNames.data(), inValues.data(), inValues.size(),
                                       outNames.data(), outNames.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      auto owner = std::make_shared<Ort::Value>(std::move(values[i]));
      auto info = owner->GetTensorTypeAndShapeInfo();
      auto type = fromOnnx(info.GetElementType());
      if (!type) {
        throw ModelRuntimeError(ModelRuntimeError::Kind::inferenceFailed, m_impl->path,
                                "output '" + wanted[i] + "' has an unsupported element type");
      }
      void* data = owner->GetTensorMutableRawData();
      result.emplace(wanted[i], Tensor::adopt(*type, info.GetShape(), data, owner));
    }
  } catch (const Ort::Exception& e) {
    throw ModelRuntimeError(ModelRuntimeError::Kind::inferenceFailed, m_impl->path, e.what());
  }
  return result;
}

namespace {
void checkNoAliasing(const fs::path& path, const NamedTensors& inputs, const NamedTensors& outputs) {
  std::set<const void*> inputBuffers;
  for (const auto& [n, t] : inputs) {
    if (t.byteCount()) inputBuffers.insert(t.rawData());
  }
  for (const auto& [n, t] : outputs) {
    if (inputBuffers.count(t.rawData())) {
      throw ModelRuntimeError(ModelRuntimeError::Kind::invalidInput, path,
                              "output '" + n + "' shares memory with an input");
    }
  }
}
}  // namespace

// The runtime's values over the given tensors, with the name lists a run
// needs; the names point into the maps, which must outlive the values.
struct OnnxModel::BoundCall::Values {
  std::vector<const char*> inNames;
  std::vector<Ort::Value> inValues;
  std::vector<const char*> outNames;
  std::vector<Ort::Value> outValues;

  Values(const OnnxModel::Impl& impl, const NamedTensors& inputs, const NamedTensors& outputs) {
    impl.checkInputs(inputs);
    for (const auto& [n, t] : outputs) impl.check(impl.outputInfo(n), t, "output");
    checkNoAliasing(impl.path, inputs, outputs);
    for (const auto& [n, t] : inputs) {
      inNames.push_back(n.c_str());
      inValues.push_back(makeValue(t));
    }
    for (const auto& [n, t] : outputs) {
      outNames.push_back(n.c_str());
      outValues.push_back(makeValue(t));
    }
  }

  void run(const OnnxModel::Impl& impl) {
    try {
      impl.session->Run(Ort::RunOptions{nullptr}, inNames.data(), inValues.data(), inValues.size(), outNames.data(),
                        outValues.data(), outValues.size());
    } catch (const Ort::Exception& e) {
      throw ModelRuntimeError(ModelRuntimeError::Kind::inferenceFailed, impl.path, e.what());
    }
  }
};

void OnnxModel::predictInto(const NamedTensors& inputs, NamedTensors& outputs) const {
  BoundCall::Values(*m_impl, inputs, outputs).run(*m_impl);
}

OnnxModel::BoundCall::BoundCall(const OnnxModel& model, const NamedTensors& inputs, const NamedTensors& outputs)
    : m_model(model),
      m_inputs(inputs),
      m_outputs(outputs),
      m_values(std::make_unique<Values>(*model.m_impl, m_inputs, m_outputs)) {}

OnnxModel::BoundCall::~BoundCall() = default;

void OnnxModel::BoundCall::run() {
  m_values->run(*m_model.m_impl);
}

}  // namespace voxtrellis
