#pragma once

#include <sys/types.h>

namespace parlowvista {

// Ends what the application's tools started themselves when the application ends, by any road,
// a SIGKILL or a crash included. The kernel kills each tool with the application (ProcessRunner),
// but not what the tool started: yt-dlp's ffmpeg, a provider tool's workers. Those run in the
// tool's process group, and the guardian kills the groups.
//
// The guardian is a small process forked at the start of the application, before any thread,
// holding one end of a socket pair whose other end only the application holds (closed on exec, so
// no tool holds it). The application tells it each tool's group as the tool starts and again once
// the tool has ended. As the application's main thread ends, which is the application ending
// however it ends, the kernel sends the guardian its parent-death signal (SIGUSR1, caught): the
// guardian reads what it was told last and kills (SIGKILL) every group still running a tool, and
// any group it is told of after that, at once. It ends when its end of the socket reads end of
// file, once the application's last thread is gone (which is also its signal to kill where the
// parent-death signal does not come: a guardian started by another thread than the main one).
// It runs in a process group of its own (a terminal's Ctrl+C or Ctrl+\ reaches the
// application's only), ignores SIGINT, SIGQUIT, SIGHUP, SIGTERM and SIGPIPE, works in the root
// folder and holds nothing else of the application's: the null device as its standard streams,
// no other open file, no lock (a second copy's start and the sweep of the temporary folder do not
// see it). It is a child of the application named "tool-guardian", reaped by a thread of the
// application ("guardian-reaper") as soon as it ends, should it be killed while the application
// runs.
//
// Without start() (a test program that starts none), or once the guardian cannot be told (it was
// killed, or stopped for long), watch() and forget() do nothing: the tools still end with the
// application, and what they started runs on.
//
// start(): the main thread (whose end is the application's), once, before any other thread.
// watch() and forget(): any thread.
class ToolGuardian {
 public:
  // Forks the guardian. False, with a line on standard error, when the system refuses.
  static bool start();

  // `group` (a process id above 1), the group of a tool just started, is killed should the
  // application end before forget(group). Never blocks for long: at most a fifth of a second,
  // and that only with a guardian that has stopped reading.
  static void watch(pid_t group);
  // The tool of `group` has ended, or was killed: the group is not the application's to kill any
  // more. Call it before the tool is reaped where the caller can (a number stays the tool's until
  // then), else at once after, so that a number given again to another program is never killed.
  static void forget(pid_t group);
};

}  // namespace parlowvista
