#pragma once

#include <deque>
#include <string>
#include <utility>

struct AVFrame;

namespace voxtrellis {

// Where the container states the stream ends (its edit list, its header), in seconds from the
// stream's start. The frame that crosses it carries the codec's padding past it, which is held
// back and dropped at the end of the stream; a frame that starts at or past it is sound the
// statement does not cover (a header that understates the length, a part appended to the file),
// and from then on everything is delivered, the held padding first. Positions are in seconds: a
// stream may change its rate midway.
class StatedEnd {
 public:
  // `seconds`: none when negative (the container only estimates it). `path`: the file's, for
  // what a failure says.
  StatedEnd(double seconds, std::string path);
  ~StatedEnd();
  StatedEnd(const StatedEnd&) = delete;
  StatedEnd& operator=(const StatedEnd&) = delete;

  // The decoded `frame` starting at `start` seconds, less the padding past the stated end (held
  // back); where it starts past the end, the oldest frame held, `frame` held after it.
  const AVFrame* deliver(AVFrame& frame, double start);
  // The oldest frame held, once the statement proved no end; null when none is.
  const AVFrame* next();

 private:
  // Keeps the samples of `frame` from `from` on, for later.
  void hold(const AVFrame& frame, int from);
  const AVFrame* release();
  [[noreturn]] void fail(int status) const;

  double m_seconds = -1;
  std::string m_path;
  std::deque<std::pair<AVFrame*, int>> m_held;  // with the count of leading samples already delivered
  AVFrame* m_released = nullptr;                // the held frame handed out last
};

}  // namespace voxtrellis
