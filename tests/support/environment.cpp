#include <mpi.h>

#include <cstdlib>

#include "qor_test_support.h"

namespace qor_test {

scoped_env::scoped_env(const char* name, const char* value) : _name(name), _had(false) {
  const char* old = std::getenv(name);
  if (old != nullptr) {
    _had = true;
    _old = old;
  }
  setenv(name, value, 1);
}

scoped_env::~scoped_env() {
  if (_had) {
    setenv(_name.c_str(), _old.c_str(), 1);
  } else {
    unsetenv(_name.c_str());
  }
}

int world_rank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

int world_size() {
  int size = 0;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

}  // namespace qor_test
