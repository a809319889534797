#pragma once

#include <QString>

#include <atomic>
#include <functional>
#include <stop_token>
#include <thread>

namespace parlowvista {

// The start's sweep of what copies that could not end cleanly (killed, or their machine's power
// lost) left in the temporary folder, where nothing else would ever remove it: the enhancer's
// files (AudioEnhancer::removeLeftovers), then the downloads' folders
// (YouTubeDownloader::removeLeftovers). It runs on a thread of its own from its making: a folder
// all users share may hold any number of other users' look-alikes, each of which costs a look,
// and the window waits for none of them. Its end stops the sweep between two entries and waits
// for that; what is left goes at a later start.
//
// Made and ended on one thread (the UI thread); isFinished() from any.
class LeftoverSweep {
 public:
  explicit LeftoverSweep(QString folder);
  ~LeftoverSweep();
  LeftoverSweep(const LeftoverSweep&) = delete;
  LeftoverSweep& operator=(const LeftoverSweep&) = delete;

  // The sweep has ended, done or stopped.
  bool isFinished() const { return m_finished.load(); }

  // Test seam: while set (a function the caller keeps alive), each sweep made from then on calls
  // it first, on the thread that sweeps, with the token that stops the sweep; the sweep goes on
  // once it returns. nullptr: none. Set and cleared while no sweep is made.
  static void setBeforeSweepForTesting(const std::function<void(std::stop_token)>* hook);

 private:
  std::atomic<bool> m_finished{false};
  // Last: its thread uses the flag above, and goes (stopped and joined) first.
  std::jthread m_thread;
};

}  // namespace parlowvista
