#include "qor_watchdog.h"

#include <mpi.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "qor_check.h"
#include "qor_clock.h"
#include "qor_trace.h"

namespace qor {
namespace watchdog {

call_marks marks;

namespace {

// Never destroyed: the thread may still run while static objects are
// destroyed at exit (an application that never calls qor_finalize).
struct control {
  std::mutex mutex;
  std::condition_variable wake;
  std::thread* thread = nullptr;
  bool stopping = false;
  double seconds = 0.0;
  const char* mode = "";
  int rank = no_rank;
};

control& the_control() {
  static control* c = new control;
  return *c;
}

const char* type_name(int type) {
  switch (type) {
    case 0: return "float";
    case 1: return "half";
    case 2: return "byte";
    default: return "unknown";
  }
}

// "60", not the trace stream's scientific notation.
std::string seconds_text(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", seconds);
  return text;
}

// Writes the line, then ends the job: MPI_Abort where MPI runs (every
// process of the job goes), else this process with status 1.  Before the
// abort, the other waiting processes get a moment to write their lines: the
// abort kills them at once, and each names the peer it waits for.
[[noreturn]] void fire(const control& c) {
  const bool mpi = mpi_running();
  write_trace_line('E', __LINE__, c.rank,
                   describe(c.seconds, c.mode) +
                       (mpi ? "; ending the job (MPI_Abort)" : "; ending this process"));
  if (mpi) {
    std::this_thread::sleep_for(std::chrono::duration<double>(std::min(1.0, c.seconds)));
    MPI_Abort(MPI_COMM_WORLD, 1);
  }
  std::fflush(nullptr);
  std::_Exit(1);
}

// A call is overdue once the same call has been seen running for the whole
// time-out; checked four times per time-out, at most four times a second.
void watch() {
  control& c = the_control();
  std::unique_lock<std::mutex> lock(c.mutex);
  unsigned long seen = 0;  // the call seen running, 0 for none
  double since = 0.0;
  while (!c.stopping) {
    const double tick = c.seconds > 0.0 ? std::min(0.25, c.seconds / 4.0) : 0.25;
    c.wake.wait_for(lock, std::chrono::duration<double>(tick));
    if (c.stopping) break;
    if (c.seconds <= 0.0 || !marks.active.load(std::memory_order_acquire)) {
      seen = 0;
      continue;
    }
    const unsigned long call = marks.calls.load(std::memory_order_relaxed);
    const double now = monotonic_seconds();
    if (call != seen) {
      seen = call;
      since = now;
    } else if (now - since >= c.seconds) {
      fire(c);
    }
  }
}

}  // namespace

double resolve_seconds(const std::string& option, const char* environment) {
  const bool from_option = !option.empty();
  const char* text = from_option ? option.c_str() : environment;
  if (text == nullptr || *text == '\0') return default_seconds;
  char* end = nullptr;
  const double seconds = std::strtod(text, &end);
  if (end != text && *end == '\0' && std::isfinite(seconds) && seconds >= 0.0) return seconds;
  QOR_TRACE('W') << (from_option ? "-watchdog_sec " : "QOR_WATCHDOG_SEC=") << text
                 << " is not a number of seconds; the watchdog waits "
                 << seconds_text(default_seconds) << " s";
  return default_seconds;
}

std::string describe(double seconds, const char* mode) {
  const char* name = marks.name.load(std::memory_order_relaxed);
  std::string text = std::string(name ? name : "a call") + " of " +
                     std::to_string(marks.count.load(std::memory_order_relaxed)) + " " +
                     type_name(marks.type.load(std::memory_order_relaxed)) + " elements (" +
                     mode + ") has not finished after " + seconds_text(seconds) + " s";
  const char* phase = marks.phase.load(std::memory_order_relaxed);
  if (phase == nullptr) return text;
  std::string algo = marks.algo.load(std::memory_order_relaxed);
  algo.erase(algo.find_last_not_of(' ') + 1);  // the labels are padded
  text += std::string(": ") + phase + " of dimension " +
          std::to_string(marks.dim.load(std::memory_order_relaxed)) + " by " + algo;
  const int peer = marks.peer.load(std::memory_order_relaxed);
  if (peer >= 0) {
    const int rank = marks.peer_base.load(std::memory_order_relaxed) +
                     peer * marks.peer_stride.load(std::memory_order_relaxed);
    text += ", waiting for rank " + std::to_string(rank);
  }
  return text;
}

void start(double seconds, const char* mode, int rank) {
  control& c = the_control();
  std::lock_guard<std::mutex> lock(c.mutex);
  c.seconds = seconds;
  c.mode = mode;
  c.rank = rank;
  if (seconds > 0.0 && c.thread == nullptr) c.thread = new std::thread(watch);
  c.wake.notify_all();
}

void stop() {
  control& c = the_control();
  std::thread* thread = nullptr;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    thread = c.thread;
    c.thread = nullptr;
    c.stopping = thread != nullptr;
    c.wake.notify_all();
  }
  if (thread == nullptr) return;
  thread->join();
  delete thread;
  std::lock_guard<std::mutex> lock(c.mutex);
  c.stopping = false;
}

}  // namespace watchdog
}  // namespace qor
