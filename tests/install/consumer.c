/* A C program built against an installed libqor: sums and averages in
 * host-CPU legacy engine mode and checks them against the known totals. */
#include <qor.h>

#include <stdio.h>

int main(void) {
  enum { n = 1000 };
  float x[n];
  int rank = -1, size = 0, bad = 0;
  if (qor_init("-qor_legacy_allreduce 1 -cpu_only 1 -mode r") != QOR_SUCCESS) return 2;
  if (qor_rank(&rank) != QOR_SUCCESS || qor_size(&size) != QOR_SUCCESS) return 3;
  for (int op = QOR_SUM; op <= QOR_AVG; ++op) {
    for (int i = 0; i < n; ++i) x[i] = (float)(rank + 1 + i);
    if (qor_allreduce(x, n, QOR_FLOAT, (QOR_Op)op) != QOR_SUCCESS) return 4;
    for (int i = 0; i < n; ++i) {
      const float sum = (float)(size * (size + 1) / 2 + size * i);
      bad += x[i] != (op == QOR_SUM ? sum : sum * (float)(1.0 / size));
    }
  }
  if (qor_finalize() != QOR_SUCCESS) return 5;
  printf("consumer: rank %d of %d, %d wrong elements\n", rank, size, bad);
  return bad ? 1 : 0;
}
