#include "Services/ProcessRunner.h"

#include "support/Processes.h"
#include "support/QtWait.h"
#include "support/TempDir.h"
#include "support/TimeLeft.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <thread>

using parlowvista::ProcessOutcome;
using parlowvista::ProcessRequest;
using parlowvista::ProcessRunner;
using testsupport::waitUntil;

namespace {

bool processEnded(const QByteArray& pid) {
  return testsupport::processEnded(pid.trimmed().toLongLong());
}

ProcessRequest shell(const char* script, int timeoutMs = 20000) {
  ProcessRequest request;
  request.program = QStringLiteral("/bin/sh");
  request.arguments = {QStringLiteral("-c"), QString::fromUtf8(script)};
  request.timeoutMs = timeoutMs;
  return request;
}

struct Recorder {
  QList<QByteArray> outputLines;
  QList<QByteArray> errorLines;
  std::optional<ProcessOutcome> outcome;
  int completions = 0;

  void attach(ProcessRequest& request) {
    request.standardOutputLine = [this](const QByteArray& line) { outputLines.append(line); };
    request.standardErrorLine = [this](const QByteArray& line) { errorLines.append(line); };
  }
  ProcessRunner::Completion done() {
    return [this](const ProcessOutcome& o) {
      ++completions;
      outcome = o;
    };
  }
};

TEST(ProcessRunner, LinesOfBothStreamsArriveWhileTheWholeTextIsKept) {
  ProcessRunner runner;
  Recorder record;
  ProcessRequest request = shell("printf 'one\\ntwo\\n'; printf 'oops\\n' >&2; printf 'tail'; exit 3");
  record.attach(request);
  runner.start(request, record.done());
  EXPECT_TRUE(runner.isRunning());
  ASSERT_TRUE(waitUntil([&] { return record.completions > 0; }));
  EXPECT_FALSE(runner.isRunning());
  EXPECT_EQ(record.outputLines, (QList<QByteArray>{"one", "two", "tail"}));
  EXPECT_EQ(record.errorLines, (QList<QByteArray>{"oops"}));
  EXPECT_EQ(record.outcome->kind, ProcessOutcome::Kind::exited);
  EXPECT_EQ(record.outcome->exitCode, 3);
  EXPECT_EQ(record.outcome->standardOutput, "one\ntwo\ntail");
  EXPECT_EQ(record.outcome->standardError, "oops\n");
}

// The real `claude -p` reads its standard input to the end before it answers; with an open
// pipe there it would wait until the deadline.
TEST(ProcessRunner, StandardInputIsTheNullDeviceSoAReaderEndsAtOnce) {
  ProcessRunner runner;
  Recorder record;
  ProcessRequest request;
  request.program = QStringLiteral("/bin/sh");
  request.arguments = {QStringLiteral("-c"), QStringLiteral("input=$(cat); echo \"read ${#input} bytes\"")};
  request.timeoutMs = 20000;
  runner.start(request, record.done());
  ASSERT_TRUE(waitUntil([&] { return record.completions > 0; }, 10000));
  EXPECT_TRUE(record.outcome->succeeded());
  EXPECT_EQ(record.outcome->standardOutput, "read 0 bytes\n");
}

TEST(ProcessRunner, TheDeadlineAndCancelEndTheWholeProcessGroup) {
  for (const bool byDeadline : {true, false}) {
    SCOPED_TRACE(byDeadline ? "deadline" : "cancel from a line callback");
    ProcessRunner runner;
    Recorder record;
    // The tool's own worker, as node and python tools start one.
    ProcessRequest request = shell("sleep 30 & echo $!; echo more; wait", byDeadline ? 300 : 0);
    bool completedInsideCancel = false;
    request.standardOutputLine = [&](const QByteArray& line) {
      record.outputLines.append(line);
      if (byDeadline) return;
      runner.cancel();
      completedInsideCancel = record.completions == 1;
    };
    runner.start(request, record.done());
    ASSERT_TRUE(waitUntil([&] { return record.completions > 0; }, 10000));
    EXPECT_EQ(record.outcome->kind, byDeadline ? ProcessOutcome::Kind::timedOut : ProcessOutcome::Kind::cancelled);
    ASSERT_FALSE(record.outputLines.isEmpty());
    EXPECT_TRUE(waitUntil([&] { return processEnded(record.outputLines.first()); }, 5000));
    if (!byDeadline) {
      EXPECT_TRUE(completedInsideCancel);
      // No line is handed on once the run has ended.
      EXPECT_EQ(record.outputLines.size(), 1);
    }
    EXPECT_TRUE(record.outcome->standardOutput.startsWith(record.outputLines.first()));
    QTest::qWait(50);
    EXPECT_EQ(record.completions, 1);
  }
}

TEST(ProcessRunner, AProgramThatCannotStartIsReportedLaterNotFromStart) {
  ProcessRunner runner;
  Recorder record;
  ProcessRequest request;
  request.program = QStringLiteral("/nonexistent/tool");
  runner.start(request, record.done());
  EXPECT_EQ(record.completions, 0);
  ASSERT_TRUE(waitUntil([&] { return record.completions > 0; }));
  EXPECT_EQ(record.outcome->kind, ProcessOutcome::Kind::failedToStart);
  EXPECT_FALSE(record.outcome->startError.isEmpty());
}

TEST(ProcessRunner, DestroyingTheRunnerKillsTheChildWithoutCallingBack) {
  auto runner = std::make_unique<ProcessRunner>();
  Recorder record;
  ProcessRequest request = shell("echo $$; exec sleep 30");
  record.attach(request);
  runner->start(request, record.done());
  ASSERT_TRUE(waitUntil([&] { return !record.outputLines.isEmpty(); }));
  runner.reset();
  EXPECT_TRUE(waitUntil([&] { return processEnded(record.outputLines.first()); }, 5000));
  EXPECT_EQ(record.completions, 0);
}

// The blocking form, on a thread with no event loop, as a worker thread runs it.
TEST(ProcessRunner, RunToEndWorksOnAThreadWithoutAnEventLoop) {
  ProcessOutcome finished;
  ProcessOutcome late;
  QList<QByteArray> errorLines;
  std::thread worker([&] {
    ProcessRequest request = shell("input=$(cat); echo \"read ${#input}\"; printf 'oops\\nlast' >&2; exit 2");
    request.standardErrorLine = [&](const QByteArray& line) { errorLines.append(line); };
    finished = ProcessRunner::runToEnd(request);
    late = ProcessRunner::runToEnd(shell("sleep 30 & echo $!; wait", 300));
  });
  worker.join();
  EXPECT_EQ(finished.kind, ProcessOutcome::Kind::exited);
  EXPECT_EQ(finished.exitCode, 2);
  EXPECT_EQ(finished.standardOutput, "read 0\n");
  EXPECT_EQ(finished.standardError, "oops\nlast");
  EXPECT_EQ(errorLines, (QList<QByteArray>{"oops", "last"}));
  EXPECT_EQ(late.kind, ProcessOutcome::Kind::timedOut);
  EXPECT_TRUE(waitUntil([&] { return processEnded(late.standardOutput); }, 5000));
}

// A tool's error stream is read as it comes and its line callbacks hear every line, but of it only
// its last lines are kept, from a line's start (from a character's where its last line alone is
// longer): a tool that writes there without end used to fill the memory. Its standard output is
// kept whole: a translation tool's answer is all of it. Both ways of running a tool alike.
TEST(ProcessRunner, OfTheErrorStreamItsLastLinesAreKeptAndOfTheOutputAll) {
  const char* chatty = "seq 1 30000; seq 1 20000 | sed 's/^/error line /' >&2; echo 'last words' >&2";
  // A last line of 100 000 three-byte characters.
  const char* oneLine = "printf 'first\\n' >&2; yes '\u20ac' | head -c 400000 | tr -d '\\n' >&2";
  QByteArray numbers;
  for (int i = 1; i <= 30000; ++i) numbers += QByteArray::number(i) + '\n';
  const auto check = [&](const ProcessOutcome& ended, const ProcessOutcome& endedOnOneLine,
                         const QList<QByteArray>& errorLines) {
    EXPECT_TRUE(ended.succeeded());
    EXPECT_TRUE(ended.standardOutput == numbers) << ended.standardOutput.size();
    const QByteArray& tail = ended.standardError;
    EXPECT_LE(tail.size(), ProcessOutcome::kErrorTail);
    EXPECT_GT(tail.size(), ProcessOutcome::kErrorTail - 32);
    EXPECT_TRUE(tail.startsWith("error line ")) << tail.left(40).toStdString();
    EXPECT_TRUE(tail.endsWith("error line 20000\nlast words\n"));
    ASSERT_EQ(errorLines.size(), 20001);
    EXPECT_EQ(errorLines.first(), "error line 1");
    const QByteArray& long_ = endedOnOneLine.standardError;
    EXPECT_LE(long_.size(), ProcessOutcome::kErrorTail);
    EXPECT_GT(long_.size(), ProcessOutcome::kErrorTail - 3);
    const std::optional<QString> text = parlowvista::decodeToolOutput(long_);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->count(QChar(0x20ac)), text->size());
  };
  Recorder record;
  Recorder recordOneLine;
  ProcessRunner runner;
  ProcessRunner runnerOnOneLine;
  ProcessRequest request = shell(chatty);
  record.attach(request);
  runner.start(request, record.done());
  runnerOnOneLine.start(shell(oneLine), recordOneLine.done());
  ASSERT_TRUE(waitUntil([&] { return record.completions > 0 && recordOneLine.completions > 0; }, 20000));
  {
    SCOPED_TRACE("on the runner's thread");
    check(*record.outcome, *recordOneLine.outcome, record.errorLines);
  }
  ProcessOutcome ended;
  ProcessOutcome endedOnOneLine;
  QList<QByteArray> errorLines;
  std::thread worker([&] {
    ProcessRequest request = shell(chatty);
    request.standardErrorLine = [&](const QByteArray& line) { errorLines.append(line); };
    ended = ProcessRunner::runToEnd(request);
    endedOnOneLine = ProcessRunner::runToEnd(shell(oneLine));
  });
  worker.join();
  SCOPED_TRACE("to its end");
  check(ended, endedOnOneLine, errorLines);
}

// Kilobytes of the process's resident memory at its peak since the last resetPeak() ("VmHWM"), or
// now ("VmRSS"); -1 when they cannot be read.
long residentKilobytes(const char* field) {
  QFile status(QStringLiteral("/proc/self/status"));
  if (!status.open(QIODevice::ReadOnly)) return -1;
  const QRegularExpression line(QStringLiteral("%1:\\s+(\\d+)").arg(QLatin1String(field)));
  const QRegularExpressionMatch match = line.match(QString::fromLatin1(status.readAll()));
  return match.hasMatch() ? match.captured(1).toLong() : -1;
}

// Sets the peak to what is resident now; says whether it could.
bool resetPeak() {
  QFile clear(QStringLiteral("/proc/self/clear_refs"));
  return clear.open(QIODevice::WriteOnly) && clear.write("5") == 1;
}

// A tool that floods its error stream (400 MB of it, no line feed in it) costs the application
// what it keeps of it and a pipe's worth at a time, never what the tool wrote: the process's
// resident memory, at its peak while the tool runs, grows by far less than that. Both ways of
// running a tool alike. The peak is the kernel's, so it holds on a machine as busy as any.
TEST(ProcessRunner, AToolFloodingItsErrorStreamCostsNoMoreMemoryThanTheTailKept) {
  // Two floods, each given minutes on a crowded machine: together within the test's limit. (A
  // tool's limit of 0 would be none.)
  const testsupport::TimeLeft timeLeft(PV_TEST_TIMEOUT_SECONDS, 30);
  const auto bound = [&] { return std::max(1, timeLeft.atMost(300000)); };
  const char* flood = "head -c 400M /dev/zero >&2; echo done";
  constexpr long kWritten = 400L << 10;  // kilobytes
  constexpr long kAllowed = 32L << 10;   // kilobytes: the tail, and buffers of a few pipes' worth
  const auto check = [&](const ProcessOutcome& ended, long grown) {
    EXPECT_TRUE(ended.succeeded());
    EXPECT_EQ(ended.standardOutput, "done\n");
    EXPECT_EQ(ended.standardError, QByteArray(ProcessOutcome::kErrorTail, '\0'));
    EXPECT_LT(grown, kAllowed) << "kB more at the peak, of " << kWritten << " kB written";
  };
  {
    SCOPED_TRACE("on the runner's thread");
    ProcessRunner runner;
    Recorder record;
    ASSERT_TRUE(resetPeak());
    const long before = residentKilobytes("VmRSS");
    runner.start(shell(flood, bound()), record.done());
    ASSERT_TRUE(waitUntil([&] { return record.completions > 0; }, bound()));
    const long peak = residentKilobytes("VmHWM");
    ASSERT_GT(before, 0);
    check(*record.outcome, peak - before);
  }
  {
    SCOPED_TRACE("to its end");
    ProcessOutcome ended;
    ASSERT_TRUE(resetPeak());
    const long before = residentKilobytes("VmRSS");
    std::thread worker([&] { ended = ProcessRunner::runToEnd(shell(flood, bound())); });
    worker.join();
    const long peak = residentKilobytes("VmHWM");
    ASSERT_GT(before, 0);
    check(ended, peak - before);
  }
}

// A tool killed from outside (the out-of-memory killer, a kill by hand) is told from one that
// ended by itself: the signal is named, both ways of running a tool alike.
TEST(ProcessRunner, TheSignalThatEndedTheChildIsKept) {
  ProcessRunner runner;
  Recorder record;
  runner.start(shell("kill -9 $$"), record.done());
  ASSERT_TRUE(waitUntil([&] { return record.completions > 0; }));
  EXPECT_EQ(record.outcome->kind, ProcessOutcome::Kind::exited);
  EXPECT_EQ(record.outcome->exitCode, -1);
  EXPECT_EQ(record.outcome->signal, 9);
  ProcessOutcome terminated;
  ProcessOutcome exited;
  std::thread worker([&] {
    terminated = ProcessRunner::runToEnd(shell("kill -15 $$"));
    exited = ProcessRunner::runToEnd(shell("exit 4"));
  });
  worker.join();
  EXPECT_EQ(terminated.exitCode, -1);
  EXPECT_EQ(terminated.signal, 15);
  EXPECT_EQ(exited.exitCode, 4);
  EXPECT_EQ(exited.signal, 0);
}

// Input given to a tool that writes as much back: both go at once, so neither waits on the
// other however much there is (a whole recording's samples through ffmpeg), and the output
// reaches its callback in pieces without being kept. A tool that takes none of its input ends
// as it ends.
TEST(ProcessRunner, RunToEndFeedsTheInputWhileTheOutputIsRead) {
  QByteArray input(8 << 20, '\0');
  for (qsizetype i = 0; i < input.size(); ++i) input[i] = char(i * 7 + i / 4096);
  QByteArray output;
  int pieces = 0;
  ProcessOutcome copied;
  ProcessOutcome refusing;
  std::thread worker([&] {
    ProcessRequest request = shell("cat; echo done >&2");
    request.standardInput = QByteArrayView(input);
    request.standardOutputData = [&](QByteArrayView bytes) {
      output += bytes;
      ++pieces;
    };
    copied = ProcessRunner::runToEnd(request);
    ProcessRequest closing = shell("exec 0<&-; echo 'no input taken' >&2; exit 5");
    closing.standardInput = QByteArrayView(input);
    refusing = ProcessRunner::runToEnd(closing);
  });
  worker.join();
  EXPECT_TRUE(copied.succeeded());
  EXPECT_TRUE(output == input) << output.size() << " bytes of " << input.size();
  EXPECT_GT(pieces, 1);
  EXPECT_EQ(copied.standardOutput, "");
  EXPECT_EQ(copied.standardError, "done\n");
  EXPECT_EQ(refusing.kind, ProcessOutcome::Kind::exited);
  EXPECT_EQ(refusing.exitCode, 5);
  EXPECT_EQ(refusing.standardError, "no input taken\n");
}

}  // namespace
