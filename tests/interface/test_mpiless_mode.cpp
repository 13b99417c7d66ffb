// The MPI-less NCCL start mode: N processes forked by the test share one
// text from qor_generate_group_id and never touch MPI.  Each child checks
// its results and reports through its exit status and standard error.
#include <gtest/gtest.h>
#include <mpi.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "allreduce_data.h"
#include "qor.h"
#include "qor_test_support.h"

namespace {

// Collects failures of a child process; the child exits with their count.
struct child_checks {
  int rank;
  int failures = 0;
  void expect(bool ok, const std::string& what) {
    if (ok) return;
    ++failures;
    std::fprintf(stderr, "[worker %d] check failed: %s\n", rank, what.c_str());
  }
};

std::string options_for(int count, int index, const std::string& group_id) {
  return "-qor_worker_count " + std::to_string(count) + " -qor_worker_index " +
         std::to_string(index) + " -qor_device_index " + std::to_string(index) +
         " -qor_group_id " + group_id;
}

// Forks `n` workers running `body(rank)`; waits at most `seconds` for all of
// them, kills the rest, and returns the exit statuses (-1: killed or crashed).
std::vector<int> run_workers(int n, const std::function<int(int)>& body, int seconds = 60) {
  std::vector<pid_t> pids;
  for (int r = 0; r < n; ++r) {
    pid_t pid = fork();
    if (pid == 0) {
      int failures = body(r);
      std::fflush(stderr);
      _exit(failures > 255 ? 255 : failures);
    }
    pids.push_back(pid);
  }
  std::vector<int> status(n, -1);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  int pending = n;
  while (pending > 0 && std::chrono::steady_clock::now() < deadline) {
    for (int r = 0; r < n; ++r) {
      if (pids[r] == 0) continue;
      int ws = 0;
      if (waitpid(pids[r], &ws, WNOHANG) == pids[r]) {
        status[r] = WIFEXITED(ws) ? WEXITSTATUS(ws) : -1;
        pids[r] = 0;
        --pending;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  for (int r = 0; r < n; ++r) {
    if (pids[r] != 0) {
      kill(pids[r], SIGKILL);
      waitpid(pids[r], nullptr, 0);
    }
  }
  return status;
}

// The whole set of checks of one worker of an n-process job.
int worker(int rank, int n, const std::string& group_id) {
  child_checks c{rank};
  c.expect(qor_init(options_for(n, rank, group_id).c_str()) == QOR_SUCCESS, "qor_init");

  int value = -1;
  c.expect(qor_rank(&value) == QOR_SUCCESS && value == rank, "qor_rank");
  c.expect(qor_size(&value) == QOR_SUCCESS && value == n, "qor_size");
  c.expect(qor_local_rank(&value) == QOR_SUCCESS && value == rank, "qor_local_rank = device");
  c.expect(qor_local_size(&value) == QOR_SUCCESS && value == 1, "qor_local_size = 1");
  c.expect(qor_get_key_value(QOR_KEY_DEVICE, &value) == QOR_SUCCESS && value == rank, "key 6");

  for (size_t count : {size_t{0}, size_t{1}, size_t{13}, size_t{2 * 1024 * 1024 + 3}}) {
    for (QOR_Op op : {QOR_SUM, QOR_AVG}) {
      std::vector<float> f = qor_test::float_input(rank, count);
      void* d = nullptr;
      qor_malloc(&d, 4, count * sizeof(float));
      qor_memcpy_host_to_device(d, f.data(), count * sizeof(float));
      qor_memsync();
      c.expect(qor_allreduce(d, count, QOR_FLOAT, op) == QOR_SUCCESS, "float allreduce");
      qor_memcpy_device_to_host(f.data(), d, count * sizeof(float));
      qor_memsync();
      const float scale = static_cast<float>(1.0 / n);
      for (size_t i = 0; i < count; ++i) {
        float sum = qor_test::float_sum(n, i);
        float want = op == QOR_SUM ? sum : sum * scale;
        if (f[i] != want) {
          c.expect(false, "float element " + std::to_string(i) + " of " + std::to_string(count));
          break;
        }
      }
      qor_free(d);

      std::vector<__half> h = qor_test::half_input(rank, count);
      qor_malloc(&d, 2, count * 2);
      qor_memcpy_host_to_device(d, h.data(), count * 2);
      c.expect(qor_allreduce(d, count, QOR_HALF, op) == QOR_SUCCESS, "half allreduce");
      qor_memcpy_device_to_host(h.data(), d, count * 2);
      qor_memsync();
      for (size_t i = 0; i < count; ++i) {
        float sum = qor_test::half_sum(n, i);
        __half want = __float2half(op == QOR_SUM ? sum : sum * scale);
        if (qor_test::half_ulps(h[i], want) > (op == QOR_SUM ? 0 : 1)) {
          c.expect(false, "half element " + std::to_string(i) + " of " + std::to_string(count));
          break;
        }
      }
      qor_free(d);
    }
  }

  for (int root = 0; root < n; ++root) {
    std::vector<float> f(29, static_cast<float>(rank + 1));
    void* d = nullptr;
    qor_malloc(&d, 4, f.size() * 4);
    qor_memcpy_host_to_device(d, f.data(), f.size() * 4);
    c.expect(qor_bcast(d, 29, QOR_FLOAT, root) == QOR_SUCCESS, "bcast");
    qor_memcpy_device_to_host(f.data(), d, f.size() * 4);
    qor_memsync();
    c.expect(f == std::vector<float>(29, static_cast<float>(root + 1)), "bcast from root");
    qor_free(d);
  }

  // The asynchronous worker gives the synchronous result.
  std::vector<float> f = qor_test::float_input(rank, 1000);
  void* d = nullptr;
  qor_malloc(&d, 4, 4000);
  qor_memcpy_host_to_device(d, f.data(), 4000);
  qor_memsync();
  c.expect(qor_allreduce_async(d, 1000, QOR_FLOAT, QOR_SUM) == QOR_SUCCESS, "async");
  c.expect(qor_wait() == QOR_SUCCESS, "wait");
  qor_memcpy_device_to_host(f.data(), d, 4000);
  qor_memsync();
  for (size_t i = 0; i < f.size(); ++i) {
    if (f[i] != qor_test::float_sum(n, i)) {
      c.expect(false, "async element " + std::to_string(i));
      break;
    }
  }
  qor_free(d);

  // Back-to-back requests: the second waits for the first, both complete; an
  // invalid type completes without touching its buffer.
  std::vector<float> a = qor_test::float_input(rank, 3000);
  std::vector<__half> b = qor_test::half_input(rank, 2001);
  std::vector<float> untouched = qor_test::float_input(rank, 10);
  void *da = nullptr, *db = nullptr, *dc = nullptr;
  qor_malloc(&da, 4, 12000);
  qor_malloc(&db, 2, 4002);
  qor_malloc(&dc, 4, 40);
  qor_memcpy_host_to_device(da, a.data(), 12000);
  qor_memcpy_host_to_device(db, b.data(), 4002);
  qor_memcpy_host_to_device(dc, untouched.data(), 40);
  qor_memsync();
  qor_allreduce_async(da, 3000, QOR_FLOAT, QOR_SUM);
  qor_allreduce_async(db, 2001, QOR_HALF, QOR_SUM);
  qor_allreduce_async(dc, 10, static_cast<QOR_Type>(2), QOR_SUM);
  c.expect(qor_wait() == QOR_SUCCESS && qor_ctrl == 0, "wait for three requests");
  qor_memcpy_device_to_host(a.data(), da, 12000);
  qor_memcpy_device_to_host(b.data(), db, 4002);
  std::vector<float> after(10);
  qor_memcpy_device_to_host(after.data(), dc, 40);
  qor_memsync();
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != qor_test::float_sum(n, i)) {
      c.expect(false, "first of two requests, element " + std::to_string(i));
      break;
    }
  }
  for (size_t i = 0; i < b.size(); ++i) {
    if (__half2float(b[i]) != qor_test::half_sum(n, i)) {
      c.expect(false, "second of two requests, element " + std::to_string(i));
      break;
    }
  }
  c.expect(after == untouched, "invalid type leaves the buffer");
  qor_free(da);
  qor_free(db);
  qor_free(dc);

  int mpi_started = 1;
  MPI_Initialized(&mpi_started);
  c.expect(mpi_started == 0, "MPI was never initialised");
  c.expect(qor_finalize() == QOR_SUCCESS, "qor_finalize");
  MPI_Initialized(&mpi_started);
  c.expect(mpi_started == 0, "MPI was never initialised, also not by qor_finalize");
  return c.failures;
}

class MpilessMode : public testing::TestWithParam<int> {
 protected:
  void SetUp() override { QOR_REQUIRE_DEVICE(); }
};

TEST_P(MpilessMode, WorkersShareOneGroupIdentifier) {
  const int n = GetParam();
  char group_id[173];
  ASSERT_EQ(qor_generate_group_id(group_id), QOR_SUCCESS);
  ASSERT_EQ(std::string(group_id).size(), 172u);
  std::vector<int> status =
      run_workers(n, [&](int rank) { return worker(rank, n, group_id); });
  for (int r = 0; r < n; ++r) EXPECT_EQ(status[r], 0) << "worker " << r;
}

INSTANTIATE_TEST_SUITE_P(Processes, MpilessMode, testing::Values(1, 2, 3, 4));

}  // namespace
