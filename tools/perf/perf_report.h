// The table qor_perf prints and the JSON file it writes.
#ifndef QOR_PERF_REPORT_H
#define QOR_PERF_REPORT_H

#include <cstddef>
#include <string>
#include <vector>

#include "perf_args.h"

namespace qor_perf {

struct row {
  size_t bytes = 0, count = 0;
  double seconds = 0.0, ref_seconds = 0.0;  // medians of the slowest process
  double copy_seconds = 0.0;  // a plain copy of the buffer, every process at once; 0: not measured
  bool checked = false;
  size_t wrong = 0;
};

// "legacy p", "legacy m fuse_dim=1", "nccl": the start mode, the letters of
// -mode and any other option but -cpu_only.
std::string mode_label(const settings& s);
std::string table_header(const settings& s, int processes, const std::string& reference);
std::string table_row(const settings& s, const row& r, int processes);
std::string table_footer(const std::vector<row>& rows, int processes);
std::string json_report(const settings& s, const std::vector<row>& rows, int processes,
                        const std::string& reference, int device);

}  // namespace qor_perf

#endif  // QOR_PERF_REPORT_H
