// Recursive halving/doubling schedules: who exchanges which group of parts
// with whom at every step, derived from the rings of the current partition.
#include <cassert>

#include "qor_sw.h"

namespace qor {
namespace network {

void qor_rcs::resize(int n) {
  const size_t count = static_cast<size_t>(n);
  _my_off.resize(count);
  _partner_off.resize(count);
  _my_size.resize(count);
  _partner_size.resize(count);
  _partner_rank.resize(count);
}

template <class T>
void qor_sw<T>::enable_rcs() {
  _rcs.resize(_hw->_dim.size());
  for (size_t d = 0; d < _rcs.size(); ++d) {
    const qor_dim& D = _hw->_dim[d];
    qor_ring& R = _rings[d];
    const int s = qor_hw::get_rcs_depth(D._size);
    // No schedule for sizes that are not a power of two from 2 to 1024.
    if (s == 0) continue;
    qor_rcs& S = _rcs[d];
    S.resize(s);
    enable_rcs(s, R._net_disp.data(), R._net_size.data(), D._rank, S._partner_rank.data(),
               S._my_off.data(), S._my_size.data(), S._partner_off.data(),
               S._partner_size.data());
  }
}

template <class T>
void qor_sw<T>::enable_rcs(int s, int* disp, int* cnt, int rank, int* partner_rank, int* my_off,
                           int* my_size, int* partner_off, int* partner_size) {
  assert(s);
  int my = cnt[rank];
  for (int k = 0; k < s; ++k) {
    const int w = 1 << k;
    const int cur_partner_rank = (rank & w) ? rank - w : rank + w;
    assert(cur_partner_rank >= 0);
    const int g = (rank >> k) << k;                // first part of the own group
    const int p = (cur_partner_rank >> k) << k;    // first part of the partner's group
    int group = 0;
    for (int j = p; j < p + w; ++j) group += cnt[j];
    partner_rank[k] = cur_partner_rank;
    my_off[k] = disp[g];
    partner_off[k] = disp[p];
    my_size[k] = my;
    partner_size[k] = group;
    // The own group doubles for the next step.
    my += group;
  }
}

template <class T>
void qor_sw<T>::disable_rcs() {
  _rcs.clear();
}

// The class itself is instantiated with the rest of the layer.
template void qor_sw<float>::enable_rcs();
template void qor_sw<float>::enable_rcs(int, int*, int*, int, int*, int*, int*, int*, int*);
template void qor_sw<float>::disable_rcs();
template void qor_sw<__half>::enable_rcs();
template void qor_sw<__half>::enable_rcs(int, int*, int*, int, int*, int*, int*, int*, int*);
template void qor_sw<__half>::disable_rcs();

}  // namespace network
}  // namespace qor
