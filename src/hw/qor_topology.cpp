// The process grid: topology text to dimensions, rank to coordinates, and
// one MPI sub-communicator per dimension.
#include <cstdlib>
#include <string>
#include <vector>

#include "qor_check.h"
#include "qor_exception.h"
#include "qor_hw.h"
#include "qor_message.h"
#include "qor_trace.h"

namespace qor {
namespace network {

namespace {

constexpr size_t max_dims = 4;

// Splits at every 'x'; "4x" gives the pieces "4" and "".
std::vector<std::string> split_pieces(const std::string& text) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (;;) {
    size_t x = text.find('x', start);
    pieces.push_back(text.substr(start, x == std::string::npos ? std::string::npos : x - start));
    if (x == std::string::npos) return pieces;
    start = x + 1;
  }
}

}  // namespace

void qor_hw::create_dim() {
  const size_t colon = _desc.find(':');
  const std::string topology = colon == std::string::npos ? std::string() : _desc.substr(colon + 1);

  std::vector<int> sizes;
  if (!topology.empty()) {
    // Every size must lie in 1.._size and their product must be _size; a
    // size of 0 or below, or a product that overflows, never reaches the
    // grid arithmetic.
    bool valid = true;
    long long product = 1;
    for (const std::string& piece : split_pieces(topology)) {
      long size = std::strtol(piece.c_str(), nullptr, 10);
      if (size < 1 || size > _size) {
        valid = false;
        break;
      }
      sizes.push_back(static_cast<int>(size));
      product *= size;
      if (product > _size) {
        valid = false;
        break;
      }
    }
    if (!valid || product != _size) {
      QOR_RAISE(qor_message::MSG_TOPOLOGY, qor_message::MSG_TOPOLOGY, _rank, topology.c_str(),
                _size);
    }
  }
  if (sizes.empty()) {
    sizes.push_back(_size);
    if (_rank == 0) QOR_TRACE_RANK('W', _rank) << "degenerated into dim=" << _size;
  }
  if (sizes.size() > max_dims) {
    QOR_RAISE(qor_message::MSG_DIMENSIONS, qor_message::MSG_DIMENSIONS, _rank, sizes.size());
  }
  sizes.resize(max_dims, 1);

  std::vector<int> coords(max_dims, 0);
  comb(_rank, sizes, coords);
  // The colour of a dimension is the linear index of the first process on
  // this process's line along it, made unique across dimensions.
  std::vector<int> colours(max_dims, 0);
  for (size_t d = 0; d < max_dims; ++d) {
    const int own = coords[d];
    coords[d] = 0;
    colours[d] = decomb(sizes, coords) * (1 << max_dims) + static_cast<int>(d);
    coords[d] = own;
  }

  // Trailing dimensions of size 1 are dropped; leading ones are kept.
  size_t count = max_dims;
  while (count > 1 && sizes[count - 1] == 1) --count;

  _dim.clear();
  _dim.resize(count);
  _multi_stream.assign(count, false);
  for (size_t d = 0; d < count; ++d) {
    qor_dim& dim = _dim[d];
    dim._index = static_cast<int>(d);
    if (_dbg_level > 10) QOR_TRACE_RANK('D', _rank) << "color[" << d << "]=" << colours[d];
    // Keyed by the rank in _comm, so the rank inside the dimension is the
    // coordinate along it.
    QOR_CHECK_MPI(MPI_Comm_split(_comm, colours[d], _rank, &dim._comm));
    QOR_CHECK_MPI(MPI_Comm_rank(dim._comm, &dim._rank));
    QOR_CHECK_MPI(MPI_Comm_size(dim._comm, &dim._size));

    MPI_Comm host = MPI_COMM_NULL;
    QOR_CHECK_MPI(MPI_Comm_split_type(dim._comm, host_split_type, 0, MPI_INFO_NULL, &host));
    int host_size = 0;
    const int code = MPI_Comm_size(host, &host_size);
    MPI_Comm_free(&host);
    QOR_CHECK_MPI(code);
    dim._same_host = host_size == dim._size;
    _multi_stream[d] = false;
  }
}

void qor_hw::comb(int rank, std::vector<int> dims, std::vector<int>& coords) {
  if (coords.size() < dims.size()) coords.resize(dims.size(), 0);
  long long product = 1;
  for (int size : dims) {
    // No valid grid has an empty extent; answer the origin instead of
    // dividing by zero.
    if (size < 1) {
      for (size_t d = 0; d < dims.size(); ++d) coords[d] = 0;
      return;
    }
    product *= size;
  }
  long long rest = rank;
  for (size_t d = 0; d < dims.size(); ++d) {
    product /= dims[d];
    coords[d] = static_cast<int>(rest / product);
    rest %= product;
  }
}

int qor_hw::decomb(std::vector<int>& dims, std::vector<int>& coords) {
  if (dims.empty()) return 0;
  long long product = 1;
  for (int size : dims) {
    if (size < 1) return 0;  // no valid grid; see comb
    product *= size;
  }
  auto coord = [&](size_t d) { return d < coords.size() ? coords[d] : 0; };
  long long index = coord(dims.size() - 1);
  for (size_t d = 0; d + 1 < dims.size(); ++d) {
    product /= dims[d];
    index += coord(d) * product;
  }
  return static_cast<int>(index);
}

}  // namespace network
}  // namespace qor
