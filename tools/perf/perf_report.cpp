#include "perf_report.h"

#include <cstdarg>
#include <cstdio>
#include <sstream>

#include "perf_bandwidth.h"

namespace qor_perf {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
  char line[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(line, sizeof line, fmt, args);
  va_end(args);
  return line;
}

int label_width(const settings& s) {
  const int width = static_cast<int>(mode_label(s).size());
  return width > 10 ? width : 10;
}

double mean_busbw(const std::vector<row>& rows, int processes, bool reference) {
  double total = 0.0;
  for (const row& r : rows) total += busbw(r.bytes, reference ? r.ref_seconds : r.seconds, processes);
  return rows.empty() ? 0.0 : total / static_cast<double>(rows.size());
}

// A JSON number; JSON has no infinity or NaN.
std::string number(double v) { return v == v && v - v == 0.0 ? format("%.6g", v) : "null"; }

}  // namespace

std::string mode_label(const settings& s) {
  std::istringstream words(s.options);
  std::string label = mode_name(s.mode), name, value;
  while (words >> name) {
    if (!(words >> value)) value = "";
    if (name == "-mode")
      label += " " + value;
    else if (name != "-cpu_only" && name != "-qor_legacy_allreduce")
      label += " " + name.substr(name.find_first_not_of('-')) + "=" + value;
  }
  return label;
}

std::string table_header(const settings& s, int processes, const std::string& reference) {
  std::string text = format("# qor_perf: %d processes, start mode %s, options \"%s\", %s %s, %s calls%s\n",
                            processes, mode_name(s.mode), s.options.c_str(), s.half ? "half" : "float",
                            s.average ? "avg" : "sum", s.async ? "asynchronous" : "blocking",
                            s.registered ? ", buffers from qor_malloc" : "");
  text += format("# %d warm-up and %d timed iterations per size; reference: %s on the same buffer\n",
                 s.warmup, s.iterations, reference.c_str());
  text += format("#%12s %8s %6s %5s   %-*s %9s %11s %11s %8s %9s %9s %7s\n", "size", "count", "type",
                 "redop", label_width(s), "mode", "time(us)", "algbw(GB/s)", "busbw(GB/s)", "#wrong",
                 "ref(us)", "ref busbw", "x ref");
  return text;
}

std::string table_row(const settings& s, const row& r, int processes) {
  const std::string wrong = r.checked ? std::to_string(r.wrong) : "-";
  return format(" %12zu %8zu %6s %5s   %-*s %9.1f %11.2f %11.2f %8s %9.1f %9.2f %7.2f\n", r.bytes, r.count,
                s.half ? "half" : "float", s.average ? "avg" : "sum", label_width(s), mode_label(s).c_str(),
                r.seconds * 1e6, algbw(r.bytes, r.seconds), busbw(r.bytes, r.seconds, processes),
                wrong.c_str(), r.ref_seconds * 1e6, busbw(r.bytes, r.ref_seconds, processes),
                r.seconds > 0.0 ? r.ref_seconds / r.seconds : 0.0);
}

std::string table_footer(const std::vector<row>& rows, int processes) {
  std::string text = format("# Avg bus bandwidth: %.3f GB/s (reference %.3f GB/s) over %zu sizes\n",
                            mean_busbw(rows, processes, false), mean_busbw(rows, processes, true), rows.size());
  // The memory's own speed in the same run: what a sum that reads each
  // byte once can approach.
  if (!rows.empty() && rows.back().copy_seconds > 0.0) {
    const row& r = rows.back();
    text += format("# Plain copy of %zu bytes, every process at once: %.1f us, %.2f GB/s per process\n", r.bytes,
                   r.copy_seconds * 1e6, algbw(r.bytes, r.copy_seconds));
  }
  return text;
}

std::string json_report(const settings& s, const std::vector<row>& rows, int processes,
                        const std::string& reference, int device) {
  std::string j = "{\n  \"tool\": \"qor_perf\",\n";
  j += format("  \"processes\": %d,\n  \"mode\": \"%s\",\n  \"options\": \"%s\",\n  \"label\": \"%s\",\n",
              processes, mode_name(s.mode), s.options.c_str(), mode_label(s).c_str());
  j += format("  \"type\": \"%s\",\n  \"redop\": \"%s\",\n  \"async\": %s,\n  \"check\": %s,\n",
              s.half ? "half" : "float", s.average ? "avg" : "sum", s.async ? "true" : "false",
              s.check ? "true" : "false");
  j += format("  \"registered\": %s,\n", s.registered ? "true" : "false");
  j += format("  \"iterations\": %d,\n  \"warmup\": %d,\n  \"min_bytes\": %zu,\n  \"max_bytes\": %zu,\n",
              s.iterations, s.warmup, s.min_bytes, s.max_bytes);
  j += format("  \"step_factor\": %zu,\n  \"step_bytes\": %zu,\n  \"device\": %d,\n  \"reference\": \"%s\",\n",
              s.step_bytes ? 0 : s.step_factor, s.step_bytes, device, reference.c_str());
  j += "  \"avg_busbw\": " + number(mean_busbw(rows, processes, false)) +
       ",\n  \"avg_ref_busbw\": " + number(mean_busbw(rows, processes, true)) + ",\n  \"rows\": [";
  for (size_t k = 0; k < rows.size(); ++k) {
    const row& r = rows[k];
    j += format("%s\n    {\"bytes\": %zu, \"count\": %zu, \"type\": \"%s\", \"redop\": \"%s\", \"mode\": \"%s\", ",
                k ? "," : "", r.bytes, r.count, s.half ? "half" : "float", s.average ? "avg" : "sum",
                mode_label(s).c_str());
    j += "\"time_us\": " + number(r.seconds * 1e6) + ", \"algbw\": " + number(algbw(r.bytes, r.seconds)) +
         ", \"busbw\": " + number(busbw(r.bytes, r.seconds, processes)) +
         ", \"wrong\": " + (r.checked ? std::to_string(r.wrong) : "null") +
         ", \"ref_time_us\": " + number(r.ref_seconds * 1e6) +
         ", \"ref_busbw\": " + number(busbw(r.bytes, r.ref_seconds, processes)) +
         ", \"x_ref\": " + number(r.seconds > 0.0 ? r.ref_seconds / r.seconds : 0.0) +
         ", \"copy_us\": " + (r.copy_seconds > 0.0 ? number(r.copy_seconds * 1e6) : "null") + "}";
  }
  return j + "\n  ]\n}\n";
}

}  // namespace qor_perf
