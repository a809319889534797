#include <voxtrellis/StreamingAudioSampleSource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace voxtrellis {

namespace {

// The shared copying rule of every source.
int64_t copyLength(int64_t sampleCount, int64_t offset, int64_t count, int64_t& start) {
  if (count < 1 || sampleCount < 1) return 0;
  start = std::max<int64_t>(offset, 0);
  if (start >= sampleCount) return 0;
  return std::min(sampleCount - start, count);
}

}  // namespace

void ArrayAudioSampleSource::copySamples(float* destination, int64_t offset, int64_t count) const {
  int64_t start = 0;
  const int64_t n = copyLength(sampleCount(), offset, count, start);
  if (n > 0) std::memcpy(destination, m_samples.data() + start, static_cast<std::size_t>(n) * sizeof(float));
}

struct DiskBackedAudioSampleSource::Mapping {
  void* address = nullptr;
  std::size_t size = 0;
  ~Mapping() {
    if (address) ::munmap(address, size);
  }
};

DiskBackedAudioSampleSource::DiskBackedAudioSampleSource(std::shared_ptr<const Mapping> mapping,
                                                         std::filesystem::path file, int64_t count)
    : m_mappedData(std::move(mapping)), m_fileURL(std::move(file)), m_sampleCount(count) {}

DiskBackedAudioSampleSource DiskBackedAudioSampleSource::map(const std::filesystem::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    throw StreamingAudioError::processingFailed("Streaming audio source creation failed: " +
                                                std::string(std::strerror(errno)));
  }
  struct stat info {};
  if (::fstat(fd, &info) != 0) {
    const int saved = errno;
    ::close(fd);
    throw StreamingAudioError::processingFailed("Streaming audio source creation failed: " +
                                                std::string(std::strerror(saved)));
  }
  auto mapping = std::make_shared<Mapping>();
  mapping->size = static_cast<std::size_t>(info.st_size);
  if (mapping->size > 0) {
    void* address = ::mmap(nullptr, mapping->size, PROT_READ, MAP_SHARED, fd, 0);
    if (address == MAP_FAILED) {
      const int saved = errno;
      ::close(fd);
      throw StreamingAudioError::processingFailed("Streaming audio source creation failed: " +
                                                  std::string(std::strerror(saved)));
    }
    mapping->address = address;
  }
  ::close(fd);
  const int64_t count = static_cast<int64_t>(mapping->size / floatStride);
  return DiskBackedAudioSampleSource(std::move(mapping), file, count);
}

void DiskBackedAudioSampleSource::copySamples(float* destination, int64_t offset, int64_t count) const {
  int64_t start = 0;
  const int64_t n = copyLength(m_sampleCount, offset, count, start);
  if (n <= 0 || !m_mappedData || !m_mappedData->address) return;
  const auto* bytes = static_cast<const unsigned char*>(m_mappedData->address);
  std::memcpy(destination, bytes + start * floatStride, static_cast<std::size_t>(n) * sizeof(float));
}

void DiskBackedAudioSampleSource::cleanup() const {
  std::error_code ignored;
  std::filesystem::remove(m_fileURL, ignored);
}

}  // namespace voxtrellis
