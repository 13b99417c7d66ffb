#include "perf_args.h"

#include <charconv>
#include <limits>

namespace qor_perf {

namespace {

constexpr size_t max_sizes = 1000;

// A whole number in [low, high], written with digits only.
std::optional<long long> parse_whole(const std::string& text, long long low, long long high) {
  long long value = 0;
  const char* end = text.data() + text.size();
  if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (ec != std::errc() || ptr != end || value < low || value > high) return std::nullopt;
  return value;
}

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

std::optional<size_t> parse_bytes(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::string digits = text;
  size_t scale = 1;
  switch (text.back()) {
    case 'K': case 'k': scale = size_t{1} << 10; break;
    case 'M': case 'm': scale = size_t{1} << 20; break;
    case 'G': case 'g': scale = size_t{1} << 30; break;
    default: break;
  }
  if (scale != 1) digits.pop_back();
  const auto value = parse_whole(digits, 0, std::numeric_limits<long long>::max());
  if (!value || static_cast<unsigned long long>(*value) > std::numeric_limits<size_t>::max() / scale)
    return std::nullopt;
  return static_cast<size_t>(*value) * scale;
}

size_t element_bytes(const settings& s) { return s.half ? 2 : 4; }

const char* mode_name(start_mode mode) {
  switch (mode) {
    case start_mode::nccl: return "nccl";
    case start_mode::mpiless: return "mpiless";
    default: return "legacy";
  }
}

std::string default_options(start_mode mode) {
  return mode == start_mode::legacy ? "-cpu_only 1 -mode p" : "";
}

std::vector<size_t> sweep_sizes(const settings& s) {
  std::vector<size_t> sizes;
  const size_t unit = element_bytes(s);
  for (size_t bytes = s.min_bytes; bytes <= s.max_bytes && sizes.size() <= max_sizes;) {
    sizes.push_back(bytes / unit * unit);
    const size_t next = s.step_bytes ? bytes + s.step_bytes : bytes * s.step_factor;
    if (next <= bytes || (s.step_bytes == 0 && next / s.step_factor != bytes)) break;  // overflow
    bytes = next;
  }
  return sizes;
}

parsed parse_args(const std::vector<std::string>& args) {
  parsed p;
  settings& s = p.s;
  bool options_given = false, factor_given = false;
  auto fail = [&p](const std::string& why) {
    p.error = "qor_perf: " + why + " (-h for help)";
    return p;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& flag = args[i];
    if (flag == "-h") {
      s.help = true;
      continue;
    }
    if (flag == "-a") {
      s.async = true;
      continue;
    }
    static const std::string with_value = "-b -e -f -i -n -w -c -d -o -m -O -J -R";
    if (flag.size() != 2 || flag[0] != '-' || with_value.find(flag) == std::string::npos)
      return fail("unknown flag " + quoted(flag));
    if (i + 1 == args.size()) return fail(flag + " needs a value");
    const std::string& v = args[++i];
    const std::string bad = "invalid value " + quoted(v) + " for " + flag + ": ";
    if (flag == "-b" || flag == "-e" || flag == "-i") {
      const auto bytes = parse_bytes(v);
      if (!bytes) return fail(bad + "expected a byte count such as 4096, 64K, 16M or 1G");
      if (flag == "-i" && *bytes == 0) return fail(bad + "the step must be at least 1 byte");
      (flag == "-b" ? s.min_bytes : flag == "-e" ? s.max_bytes : s.step_bytes) = *bytes;
    } else if (flag == "-f") {
      const auto factor = parse_whole(v, 2, 1 << 20);
      if (!factor) return fail(bad + "expected a whole number from 2 to 1048576");
      s.step_factor = static_cast<size_t>(*factor), factor_given = true;
    } else if (flag == "-n" || flag == "-w") {
      const auto count = parse_whole(v, flag == "-n" ? 1 : 0, 1000000);
      if (!count) return fail(bad + (flag == "-n" ? "expected 1 to 1000000" : "expected 0 to 1000000"));
      (flag == "-n" ? s.iterations : s.warmup) = static_cast<int>(*count);
    } else if (flag == "-c") {
      if (v != "0" && v != "1") return fail(bad + "expected 0 or 1");
      s.check = v == "1";
    } else if (flag == "-R") {
      if (v != "0" && v != "1") return fail(bad + "expected 0 or 1");
      s.registered = v == "1";
    } else if (flag == "-d") {
      if (v != "float" && v != "half") return fail(bad + "expected float or half");
      s.half = v == "half";
    } else if (flag == "-o") {
      if (v != "sum" && v != "avg") return fail(bad + "expected sum or avg");
      s.average = v == "avg";
    } else if (flag == "-m") {
      if (v == "nccl") s.mode = start_mode::nccl;
      else if (v == "mpiless") s.mode = start_mode::mpiless;
      else if (v == "legacy") s.mode = start_mode::legacy;
      else return fail(bad + "expected nccl, mpiless or legacy");
    } else if (flag == "-O") {
      for (const char c : v)
        if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
          return fail("invalid -O text: quotes, backslashes and control characters are not allowed");
      s.options = v, options_given = true;
    } else if (flag == "-J") {
      if (v.empty()) return fail("-J needs a file name");
      s.json_file = v;
    }
  }
  if (!options_given) s.options = default_options(s.mode);
  if (factor_given && s.step_bytes) return fail("-f and -i exclude each other");
  if (s.min_bytes > s.max_bytes) return fail("-b is larger than -e");
  if (s.min_bytes < element_bytes(s))
    return fail("-b must hold at least one element (" + std::to_string(element_bytes(s)) + " bytes)");
  if (sweep_sizes(s).size() > max_sizes) return fail("the sweep has more than 1000 sizes");
  return p;
}

std::string usage() {
  return "usage: mpiexec -n N qor_perf [flags]\n"
         "Times the library's allreduce against a reference on the same buffer\n"
         "(MPI_Allreduce in host-CPU mode, a bare ncclAllReduce on GPUs), one row per size.\n"
         "  -b BYTES   smallest size (default 1K; suffixes K, M, G)\n"
         "  -e BYTES   largest size (default 64M)\n"
         "  -f N       multiply the size by N between rows (default 2)\n"
         "  -i BYTES   add BYTES between rows instead\n"
         "  -n N       timed iterations per size (default 20)\n"
         "  -w N       warm-up iterations per size (default 5)\n"
         "  -c 0|1     check every size against a host reference (default 1)\n"
         "  -d TYPE    float or half (default float)\n"
         "  -o OP      sum or avg (default sum; the reference always sums)\n"
         "  -m MODE    start mode: legacy (default; adds -qor_legacy_allreduce 1), nccl\n"
         "             (MPI + NCCL), mpiless (adds the -qor_worker_* options and a group id)\n"
         "  -O TEXT    the library's option text (default \"-cpu_only 1 -mode p\" with -m legacy,\n"
         "             else empty); in legacy mode the library restarts before every size,\n"
         "             so that algorithms chosen by measurement (-mode p) fit each size\n"
         "  -a         asynchronous calls (qor_allreduce_async, then qor_wait)\n"
         "  -R 0|1     1: buffers from qor_malloc (in host-CPU mode the library's shared\n"
         "             pool, which the SHM algorithm reads without copying); 0 (default):\n"
         "             plain host memory in host-CPU mode, qor_malloc on GPUs\n"
         "  -J FILE    also write the settings and rows as JSON\n"
         "  -h         this help\n"
         "time(us) is the median over the timed iterations of the slowest process;\n"
         "algbw = size / time; busbw = algbw * 2(n-1)/n; x ref = ref time / time.\n"
         "Exit status: 0, 1 when a result is wrong or a library call fails, 2 for a bad flag.\n";
}

}  // namespace qor_perf
