// The host-CPU mode sums of float blocks, vectorised.
#pragma once

namespace qor {
namespace network {

// y[i] += x[i].
void host_sum(int n, const float* x, float* y);
// y[i] = x[i].
void host_copy(int n, const float* x, float* y);
// out[i] = a[i] + b[i].
void host_add(int n, const float* a, const float* b, float* out);

}  // namespace network
}  // namespace qor
