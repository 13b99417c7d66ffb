// main() of the multi-process tests: every rank runs every test; the exit
// status is non-zero when any rank failed, which makes mpiexec fail.
#include <gtest/gtest.h>
#include <mpi.h>

#include <cstdio>

namespace {

// Ranks other than 0 print only their failures, prefixed with the rank.
class failures_only : public testing::EmptyTestEventListener {
 public:
  explicit failures_only(int rank) : _rank(rank) {}
  void OnTestPartResult(const testing::TestPartResult& result) override {
    if (!result.failed()) return;
    std::fprintf(stderr, "[rank %d] %s:%d: Failure\n%s\n", _rank,
                 result.file_name() ? result.file_name() : "?", result.line_number(),
                 result.summary());
  }

 private:
  int _rank;
};

}  // namespace

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank != 0) {
    auto& listeners = testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
    listeners.Append(new failures_only(rank));
  }
  int failed = RUN_ALL_TESTS() != 0 ? 1 : 0;
  // A test may have shut MPI down itself (the library's finalize does).
  int finalized = 0;
  MPI_Finalized(&finalized);
  if (finalized) return failed;
  int any_failed = 0;
  MPI_Allreduce(&failed, &any_failed, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
  MPI_Finalize();
  return any_failed;
}
