#include "Shared/ANEMemoryUtils.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace voxtrellis::ANEMemoryUtils {

namespace {

const char* describe(ANEMemoryError::Code code) {
  switch (code) {
    case ANEMemoryError::Code::allocationFailed: return "allocationFailed";
    case ANEMemoryError::Code::invalidShape: return "invalidShape";
    case ANEMemoryError::Code::unsupportedDataType: return "unsupportedDataType";
  }
  return "allocationFailed";
}

[[noreturn]] void invalidShape() {
  throw ANEMemoryError(ANEMemoryError::Code::invalidShape);
}

int64_t mul(int64_t a, int64_t b) {
  int64_t out = 0;
  if (__builtin_mul_overflow(a, b, &out)) invalidShape();
  return out;
}

}  // namespace

ANEMemoryError::ANEMemoryError(Code code) : std::runtime_error(describe(code)), m_code(code) {}

std::size_t getElementSize(MLMultiArrayDataType dataType) {
  return elementSize(dataType);
}

std::vector<int64_t> calculateOptimalStrides(const std::vector<int64_t>& shape) {
  if (shape.empty()) return {};
  for (int64_t d : shape) {
    if (d < 0) invalidShape();
  }
  const std::size_t n = shape.size();
  std::vector<int64_t> strides(n, 1);
  const int64_t last = shape[n - 1];
  if (last > INT64_MAX - (aneTileSize - 1)) invalidShape();
  int64_t running = (last + aneTileSize - 1) / aneTileSize * aneTileSize;
  for (std::size_t i = n - 1; i-- > 0;) {
    strides[i] = running;
    running = mul(running, shape[i]);
  }
  return strides;
}

MLMultiArrayPtr createAlignedArray(const std::vector<int64_t>& shape, MLMultiArrayDataType dataType, bool zeroClear) {
  const std::vector<int64_t> strides = calculateOptimalStrides(shape);
  const int64_t elementTotal = shape.empty() ? 0 : mul(strides[0], shape[0]);
  const int64_t byteTotal = mul(elementTotal, static_cast<int64_t>(getElementSize(dataType)));
  if (byteTotal > INT64_MAX - 63) invalidShape();
  int64_t bufferSize = (byteTotal + 63) / 64 * 64;
  if (bufferSize < 64) bufferSize = 64;

  void* memory = std::aligned_alloc(aneAlignment, static_cast<std::size_t>(bufferSize));
  if (!memory) throw ANEMemoryError(ANEMemoryError::Code::allocationFailed);
  // Owned from here on, so a failure of the array's creation frees the buffer.
  std::shared_ptr<void> owner(memory, [](void* p) { std::free(p); });
  if (zeroClear) std::memset(memory, 0, static_cast<std::size_t>(bufferSize));
  return std::make_shared<MLMultiArray>(memory, shape, dataType, strides, std::move(owner),
                                        static_cast<std::size_t>(bufferSize));
}

bool viewFits(const MLMultiArray& source, int64_t offset, const std::vector<int64_t>& shape,
              const std::vector<int64_t>& strides) {
  if (offset < 0 || shape.size() != strides.size()) return false;
  int64_t viewCount = shape.empty() ? 0 : 1;
  for (int64_t d : shape) {
    if (d < 0 || __builtin_mul_overflow(viewCount, d, &viewCount)) return false;
  }
  int64_t end = 0;
  if (__builtin_add_overflow(offset, viewCount, &end) || end > source.count()) return false;
  std::size_t extent = 0;
  try {
    extent = MLMultiArray::extentBytes(shape, strides, source.dataType());
  } catch (const MLMultiArrayError&) {
    return false;
  }
  const std::size_t es = elementSize(source.dataType());
  const std::size_t offsetBytes = static_cast<std::size_t>(offset) * es;
  return extent == 0 || (offsetBytes <= source.spanBytes() && extent <= source.spanBytes() - offsetBytes);
}

MLMultiArrayPtr createZeroCopyView(const MLMultiArray& source, int64_t offset, const std::vector<int64_t>& shape,
                                   const std::optional<std::vector<int64_t>>& strides) {
  const std::vector<int64_t> viewStrides = strides ? *strides : calculateOptimalStrides(shape);
  if (!viewFits(source, offset, shape, viewStrides)) invalidShape();
  const std::size_t offsetBytes = static_cast<std::size_t>(offset) * elementSize(source.dataType());
  void* data = static_cast<unsigned char*>(source.dataPointer()) + offsetBytes;
  return std::make_shared<MLMultiArray>(data, shape, source.dataType(), viewStrides, source.owner(),
                                        source.spanBytes() - offsetBytes);
}

}  // namespace voxtrellis::ANEMemoryUtils
