// main() of every test program.  With QOR_TEST_MPI, MPI runs around the
// tests and every rank runs every test.  Exit status: 0 when tests passed, 1
// when any failed (on any rank), 77 when every test was skipped, so that
// CTest reports a skip without hiding failures of the other cases behind it.
#include <gtest/gtest.h>
#if QOR_TEST_MPI
#include <mpi.h>
#endif

int main(int argc, char** argv) {
#if QOR_TEST_MPI
  // Before the tests register: parameters may depend on the process count.
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_SERIALIZED, &provided);
#endif
  testing::InitGoogleTest(&argc, argv);
  // 2 failed, 1 only skipped, 0 passed: the worst outcome of all ranks wins.
  int outcome = RUN_ALL_TESTS() != 0 ? 2 : 0;
  const auto* unit = testing::UnitTest::GetInstance();
  if (outcome == 0 && unit->successful_test_count() == 0 && unit->skipped_test_count() > 0) outcome = 1;
#if QOR_TEST_MPI
  int finalized = 0;
  MPI_Finalized(&finalized);  // the library's finalize may have shut MPI down
  if (!finalized) {
    MPI_Allreduce(MPI_IN_PLACE, &outcome, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
    MPI_Finalize();
  }
#endif
  return outcome == 2 ? 1 : outcome == 1 ? 77 : 0;
}
