// Bounded waits and failing point-to-point calls of the traversals.
//
// This program is linked with -Wl,--wrap for MPI_Irecv, MPI_Isend, MPI_Wait
// and MPI_Test: every such call of the library passes through the wrappers
// below, which count the calls, can make one fail with a chosen code (after
// doing the real work, so that no message is left unmatched), and can run a
// hook at the next MPI_Wait, which lets a test send a message only once the
// wait under test has stopped polling.
#include <gtest/gtest.h>
#include <mpi.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qor_exception.h"
#include "qor_test_support.h"
#include "traversal_test_support.h"

namespace {

struct fault {
  int skip = -1;  // further calls to let through before the failing one; -1 none
  int code = MPI_SUCCESS;
};

fault irecv_fault, isend_fault, wait_fault, test_fault;
long irecv_calls = 0, isend_calls = 0, wait_calls = 0, test_calls = 0;
std::function<void()> before_wait;

bool due(fault& f) {
  if (f.skip < 0) return false;
  if (f.skip-- > 0) return false;
  return true;
}

void reset_wraps() {
  irecv_fault = isend_fault = wait_fault = test_fault = fault{};
  irecv_calls = isend_calls = wait_calls = test_calls = 0;
  before_wait = nullptr;
}

}  // namespace

extern "C" {
int __real_MPI_Irecv(void* buf, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,
                     MPI_Request* request);
int __real_MPI_Isend(const void* buf, int count, MPI_Datatype type, int dest, int tag,
                     MPI_Comm comm, MPI_Request* request);
int __real_MPI_Wait(MPI_Request* request, MPI_Status* status);
int __real_MPI_Test(MPI_Request* request, int* flag, MPI_Status* status);

// A failing receive posts nothing.
int __wrap_MPI_Irecv(void* buf, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,
                     MPI_Request* request) {
  ++irecv_calls;
  if (due(irecv_fault)) return irecv_fault.code;
  return __real_MPI_Irecv(buf, count, type, source, tag, comm, request);
}

// A failing send is still sent, so the peer's receive completes.
int __wrap_MPI_Isend(const void* buf, int count, MPI_Datatype type, int dest, int tag,
                     MPI_Comm comm, MPI_Request* request) {
  ++isend_calls;
  int code = __real_MPI_Isend(buf, count, type, dest, tag, comm, request);
  return due(isend_fault) ? isend_fault.code : code;
}

// A failing wait has completed its request.
int __wrap_MPI_Wait(MPI_Request* request, MPI_Status* status) {
  ++wait_calls;
  if (before_wait) {
    auto hook = std::move(before_wait);
    before_wait = nullptr;
    hook();
  }
  int code = __real_MPI_Wait(request, status);
  return due(wait_fault) ? wait_fault.code : code;
}

// Only a test that completes its request counts towards a failure.
int __wrap_MPI_Test(MPI_Request* request, int* flag, MPI_Status* status) {
  ++test_calls;
  int code = __real_MPI_Test(request, flag, status);
  if (code == MPI_SUCCESS && *flag && due(test_fault)) return test_fault.code;
  return code;
}
}  // extern "C"

namespace {

using namespace traversal_test;

// Layers and buffers of passes that failed part-way: an abandoned request
// may still be written into, so they live until every process has passed a
// final barrier.
class keep_until_end : public testing::Environment {
 public:
  static void keep(std::shared_ptr<void> object) { kept().push_back(std::move(object)); }
  void TearDown() override {
    MPI_Barrier(MPI_COMM_WORLD);
    // Layers before their hardware layer: kept in the order made.
    while (!kept().empty()) kept().pop_back();
  }

 private:
  static std::vector<std::shared_ptr<void>>& kept() {
    static std::vector<std::shared_ptr<void>> objects;
    return objects;
  }
};

const testing::Environment* const keeper = testing::AddGlobalTestEnvironment(new keep_until_end);

std::string mpi_error_text(int code) {
  char text[MPI_MAX_ERROR_STRING] = {0};
  int length = 0;
  MPI_Error_string(code, text, &length);
  return text;
}

std::string host() {
  char name[128] = {0};
  gethostname(name, sizeof name);
  return name;
}

// --- failing calls ------------------------------------------------------------------

enum class pass { ring_rs, ring_ag, rcs_rs, rcs_ag };
enum class call { irecv, isend, first_wait, second_wait };

struct failure_case {
  const char* name;
  pass p;
  bool dbg;
  call c;
  int line;
};

class FailingCall : public testing::TestWithParam<failure_case> {
 protected:
  void TearDown() override { reset_wraps(); }
};

void run_pass(qor_sw<float>& sw, pass p, bool dbg) {
  switch (p) {
    case pass::ring_rs:
      dbg ? ring_reduce_scatter<float, QOR_MDR_HOST_SUM, true>(sw, 0, 31, nullptr)
          : ring_reduce_scatter<float, QOR_MDR_HOST_SUM, false>(sw, 0, 31, nullptr);
      break;
    case pass::ring_ag:
      dbg ? ring_allgather<float, true>(sw, 0, 32, nullptr)
          : ring_allgather<float, false>(sw, 0, 32, nullptr);
      break;
    case pass::rcs_rs:
      dbg ? rcs_reduce_scatter<float, QOR_MDR_HOST_SUM, true>(sw, 0, 33, nullptr)
          : rcs_reduce_scatter<float, QOR_MDR_HOST_SUM, false>(sw, 0, 33, nullptr);
      break;
    case pass::rcs_ag:
      dbg ? rcs_allgather<float, true>(sw, 0, 34, nullptr)
          : rcs_allgather<float, false>(sw, 0, 34, nullptr);
      break;
  }
}

// Every process makes the same call fail, so all stop in the same step; the
// failure is message 5 with status 6 at the line of the failing call.
TEST_P(FailingCall, RaisesMessage5AtItsLine) {
  const failure_case c = GetParam();
  const bool rcs = c.p == pass::rcs_rs || c.p == pass::rcs_ag;
  auto hw = std::shared_ptr<qor_hw>(make_hw("-cpu_only 1 -mode r"));
  auto data = std::make_shared<std::vector<float>>(1003, 1.0f);
  auto sw = std::make_shared<qor_sw<float>>(*hw, data->data(), 1003, 0);
  keep_until_end::keep(hw);
  keep_until_end::keep(data);
  keep_until_end::keep(sw);
  if (rcs) sw->enable_rcs();
  const bool steps = rcs ? qor_hw::get_rcs_depth(world_size()) > 0 : world_size() > 1;

  const int code = MPI_ERR_OTHER;
  fault f{0, code};
  if (c.c == call::second_wait) f.skip = 1;
  if (c.c == call::irecv) irecv_fault = f;
  if (c.c == call::isend) isend_fault = f;
  if (c.c == call::first_wait || c.c == call::second_wait) (c.dbg ? test_fault : wait_fault) = f;

  const std::string body = "A MPI error has occurred on host " + host() + " with return code '" +
                           std::to_string(code) + "':\n" + mpi_error_text(code);
  qor_test::stderr_capture capture;
  bool threw = false;
  try {
    run_pass(*sw, c.p, c.dbg);
  } catch (const QORException& e) {
    threw = true;
    EXPECT_EQ(e.line, c.line);
    EXPECT_EQ(e.status, 6);
    EXPECT_EQ(e.id, 5);
    EXPECT_EQ(e.file, c.dbg && c.line == 865 ? "qor_sw_wait.cpp"
                      : rcs                  ? "qor_sw_recur.cpp"
                                             : "qor_sw_ring.cpp");
    EXPECT_EQ(std::string(e.what()), body);
  }
  const std::string log = capture.take();
  if (steps) {
    EXPECT_TRUE(threw);
    EXPECT_EQ(log, message_line(5, body));
  } else {
    // Nothing to exchange: no MPI call at all, so nothing can fail.
    EXPECT_FALSE(threw);
    EXPECT_EQ(irecv_calls + isend_calls + wait_calls + test_calls, 0);
    EXPECT_EQ(log, "");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, FailingCall,
    testing::Values(
        failure_case{"ring_rs_post_receive", pass::ring_rs, false, call::irecv, 935},
        failure_case{"ring_rs_post_send", pass::ring_rs, false, call::isend, 936},
        failure_case{"ring_rs_wait_receive", pass::ring_rs, false, call::first_wait, 944},
        failure_case{"ring_rs_wait_send", pass::ring_rs, false, call::second_wait, 961},
        failure_case{"ring_ag_dbg_post_receive", pass::ring_ag, true, call::irecv, 935},
        failure_case{"ring_ag_dbg_post_send", pass::ring_ag, true, call::isend, 936},
        failure_case{"ring_ag_dbg_wait_receive", pass::ring_ag, true, call::first_wait, 865},
        failure_case{"ring_rs_dbg_wait_send", pass::ring_rs, true, call::second_wait, 865},
        failure_case{"rcs_rs_post_receive", pass::rcs_rs, false, call::irecv, 828},
        failure_case{"rcs_ag_post_send", pass::rcs_ag, false, call::isend, 829},
        failure_case{"rcs_rs_wait_receive", pass::rcs_rs, false, call::first_wait, 835},
        failure_case{"rcs_ag_wait_send", pass::rcs_ag, false, call::second_wait, 852},
        failure_case{"rcs_rs_dbg_post_send", pass::rcs_rs, true, call::isend, 829},
        failure_case{"rcs_ag_dbg_wait_receive", pass::rcs_ag, true, call::first_wait, 865},
        failure_case{"rcs_rs_dbg_wait_send", pass::rcs_rs, true, call::second_wait, 865}),
    [](const testing::TestParamInfo<failure_case>& info) { return std::string(info.param.name); });

// --- the bounded wait -------------------------------------------------------------

class BoundedWait : public testing::Test {
 protected:
  void SetUp() override {
    hw = make_hw("-cpu_only 1 -mode r");
    sw = std::make_unique<qor_sw<float>>(*hw, nullptr, 0, 0);
    reset_wraps();
  }
  void TearDown() override {
    reset_wraps();
    sw.reset();
    hw.reset();
  }
  std::unique_ptr<qor_hw> hw;
  std::unique_ptr<qor_sw<float>> sw;
};

// A request that is already complete costs exactly one test and no line.
TEST_F(BoundedWait, CompleteRequestTakesOneTest) {
  MPI_Request request = MPI_REQUEST_NULL;
  int dummy = 0;
  ASSERT_EQ(__real_MPI_Irecv(&dummy, 1, MPI_INT, MPI_PROC_NULL, 5, MPI_COMM_WORLD, &request),
            MPI_SUCCESS);
  qor_test::stderr_capture capture;
  sw->MPI_Wait_Timeout(0, &request);
  EXPECT_EQ(capture.take(), "");
  EXPECT_EQ(test_calls, 1);
  EXPECT_EQ(wait_calls, 0);
  EXPECT_EQ(request, MPI_REQUEST_NULL);
}

// A request nobody answers while the wait polls: after 100000 tests one "F"
// line "TIMEOUT" at line 869 with the rank argument in the rank field; then
// the request is still completed, by a blocking wait, before the call
// returns, so the message lands while its buffer is still the caller's.
// The messages are sent from the hook at the blocking wait, once every
// process has given up polling.
TEST_F(BoundedWait, StuckRequestWritesOneTimeoutLineThenCompletes) {
  // Short sleeps keep 100000 polls brief; the count is what is tested.
  const int saved_slack = prctl(PR_GET_TIMERSLACK);
  prctl(PR_SET_TIMERSLACK, 1UL);
  const int me = world_rank();
  const int size = world_size();
  const int prev = (me + size - 1) % size;
  const int next = (me + 1) % size;
  MPI_Comm comm;
  ASSERT_EQ(MPI_Comm_dup(MPI_COMM_WORLD, &comm), MPI_SUCCESS);
  std::vector<int> in(257, -1), out(257);
  for (size_t i = 0; i < out.size(); ++i) out[i] = me * 1000 + static_cast<int>(i);
  MPI_Request request = MPI_REQUEST_NULL;
  ASSERT_EQ(__real_MPI_Irecv(in.data(), 257, MPI_INT, prev, 99, comm, &request), MPI_SUCCESS);
  MPI_Request send_request = MPI_REQUEST_NULL;
  before_wait = [&] {
    // Every process has stopped polling once all have reached this point.
    MPI_Barrier(comm);
    __real_MPI_Isend(out.data(), 257, MPI_INT, next, 99, comm, &send_request);
  };

  qor_test::stderr_capture capture;
  sw->MPI_Wait_Timeout(40 + me, &request);
  const std::string log = capture.take();
  __real_MPI_Wait(&send_request, MPI_STATUS_IGNORE);
  prctl(PR_SET_TIMERSLACK, static_cast<unsigned long>(saved_slack));

  EXPECT_EQ(test_calls, 100000);
  EXPECT_EQ(wait_calls, 1);
  EXPECT_EQ(request, MPI_REQUEST_NULL);
  const std::vector<trace> lines = traces(log);
  ASSERT_EQ(lines.size(), 1u) << log;
  EXPECT_EQ(lines[0].severity, 'F');
  EXPECT_EQ(lines[0].line, 869);
  EXPECT_EQ(lines[0].rank, 40 + me);
  EXPECT_EQ(lines[0].text, "TIMEOUT");
  EXPECT_NE(log.find("QOR:869 ] [MPI:  " + std::to_string(40 + me) + "] TIMEOUT\n"),
            std::string::npos)
      << log;
  for (size_t i = 0; i < in.size(); ++i) {
    ASSERT_EQ(in[i], prev * 1000 + static_cast<int>(i)) << "element " << i;
  }
  MPI_Comm_free(&comm);
}

// A failing test ends the wait with message 5 at line 865.
TEST_F(BoundedWait, FailingTestRaisesAtItsLine) {
  MPI_Request request = MPI_REQUEST_NULL;
  test_fault = fault{0, MPI_ERR_REQUEST};
  qor_test::stderr_capture capture;
  try {
    sw->MPI_Wait_Timeout(0, &request);
    ADD_FAILURE() << "no exception";
  } catch (const QORException& e) {
    EXPECT_EQ(e.line, 865);
    EXPECT_EQ(e.status, 6);
    EXPECT_EQ(e.id, 5);
  }
  EXPECT_NE(capture.take().find("[ERROR QOR-1-5] "), std::string::npos);
}

}  // namespace
