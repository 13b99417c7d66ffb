// The asynchronous allreduce: one worker thread per process runs
// qor_allreduce on the caller's behalf.  The hand-over is a one-request slot
// and a counter that both sides update atomically and poll.
#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "qor.h"
#include "qor_clock.h"
#include "qor_state.h"
#include "qor_trace.h"

extern "C" {
int qor_thrinit = 0;
pthread_t qor_thr;
void* qor_buf = nullptr;
size_t qor_cnt = 0;
int qor_type = 0;
int qor_op = 0;
int qor_ctrl = 0;
}

namespace {

// 1 once a request has failed since the last qor_wait.
int failed_since_wait = 0;

void sleep_100_microseconds() {
  struct timespec ts = {0, 100000};
  nanosleep(&ts, nullptr);
}

int load_ctrl() { return __atomic_load_n(&qor_ctrl, __ATOMIC_SEQ_CST); }

}  // namespace

void* qor_TFunc(void* device) {
  if (cudaSetDevice(static_cast<int>(reinterpret_cast<intptr_t>(device))) != cudaSuccess) {
    cudaGetLastError();  // host-only processes have no device; leave no stale error
  }
  for (;;) {
    while (load_ctrl() != 1) sleep_100_microseconds();
    if (qor_allreduce(qor_buf, qor_cnt, static_cast<QOR_Type>(qor_type),
                      static_cast<QOR_Op>(qor_op)) != QOR_SUCCESS) {
      __atomic_store_n(&failed_since_wait, 1, __ATOMIC_SEQ_CST);
    }
    __atomic_fetch_sub(&qor_ctrl, 1, __ATOMIC_SEQ_CST);
  }
  return nullptr;
}

void qor_wait_idle() {
  while (load_ctrl() != 0) sleep_100_microseconds();
}

bool qor_wait_idle_for(const char* who, char severity, double seconds) {
  // The worker itself may end the process (a failed device check exits
  // there): it would wait for its own request.
  if (qor_thrinit && pthread_equal(pthread_self(), qor_thr)) return true;
  const double deadline = qor::monotonic_seconds() + seconds;
  while (load_ctrl() != 0) {
    if (qor::monotonic_seconds() > deadline) {
      char limit[32];  // "60", not the trace stream's scientific notation
      std::snprintf(limit, sizeof limit, "%g", seconds);
      QOR_TRACE(severity) << who << ": the asynchronous allreduce of " << qor_cnt << " elements at "
                          << qor_buf << " has not finished after " << limit << " s";
      return false;
    }
    sleep_100_microseconds();
  }
  return true;
}

namespace {

// Process exit with a request outstanding would tear down state the worker
// is still using: let the request finish first, for a while.
void wait_at_exit() { qor_wait_idle_for("exit", 'E'); }

}  // namespace

extern "C" QOR_Status qor_allreduce_async(void* buf, size_t count, QOR_Type type, QOR_Op op) {
  if (qor_thrinit == 0) {
    int device = 0;
    if (cudaGetDevice(&device) != cudaSuccess) {
      cudaGetLastError();
      device = 0;
    }
    int rc = pthread_create(&qor_thr, nullptr, qor_TFunc,
                            reinterpret_cast<void*>(static_cast<intptr_t>(device)));
    if (rc != 0) {
      // Without a worker the request would never run and qor_wait would never return.
      QOR_TRACE('W') << "qor_allreduce_async: cannot start the worker thread (error " << rc << ")";
      return QOR_FAILURE;
    }
    // The worker idles between requests; detached, it never holds up exit.
    pthread_detach(qor_thr);
    std::atexit(wait_at_exit);
    qor_thrinit = 1;
  }
  // One request at a time: a second one waits for the first to finish, so
  // the counter never exceeds 1 and the slot is never overwritten in flight.
  qor_wait_idle();
  qor_buf = buf;
  qor_cnt = count;
  qor_type = static_cast<int>(type);
  qor_op = static_cast<int>(op);
  __atomic_fetch_add(&qor_ctrl, 1, __ATOMIC_SEQ_CST);
  return QOR_SUCCESS;
}

extern "C" QOR_Status qor_wait(void) {
  qor_wait_idle();
  return __atomic_exchange_n(&failed_since_wait, 0, __ATOMIC_SEQ_CST) ? QOR_FAILURE : QOR_SUCCESS;
}
