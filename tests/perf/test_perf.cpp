// qor_perf's own parts: the flags, the bandwidth formula and the data check.
#include <cuda_fp16.h>
#include <gtest/gtest.h>

#include "perf_args.h"
#include "perf_bandwidth.h"
#include "perf_check.h"

using namespace qor_perf;

TEST(Perf, Flags) {
  const struct { std::vector<std::string> args; std::string error; std::vector<size_t> sizes; } rows[] = {
      {{"-b", "256K", "-n", "3", "-w", "0", "-c", "0"}, "", {1 << 18, 1 << 19, 1 << 20, 2 << 20, 4 << 20, 8 << 20,
                                                             16 << 20, 32 << 20, 64 << 20}},
      {{"-b", "4k", "-e", "1M", "-f", "4", "-m", "legacy", "-O", "-mode r"}, "", {4096, 16384, 65536, 262144, 1 << 20}},
      {{"-b", "10", "-e", "30", "-i", "9", "-d", "half", "-o", "avg", "-a", "-J", "f"}, "", {10, 18, 28}},
      {{"-b", "1G", "-e", "1G", "-m", "mpiless", "-R", "1"}, "", {size_t{1} << 30}},
      {{"-n", "0"}, "invalid value \"0\" for -n", {}}, {{"-w", "-1"}, "for -w", {}}, {{"-n", "2x"}, "for -n", {}},
      {{"-e", "99999999999999999G"}, "for -e", {}}, {{"-b", "1T"}, "for -b", {}}, {{"-f", "1"}, "for -f", {}},
      {{"-i", "0"}, "for -i", {}}, {{"-c", "yes"}, "for -c", {}}, {{"-d", "double"}, "for -d", {}},
      {{"-o", "max"}, "for -o", {}}, {{"-R", "2"}, "for -R", {}}, {{"-m", "mpi"}, "for -m", {}}, {{"-O", "a\"b"}, "invalid -O text", {}},
      {{"-x"}, "unknown flag \"-x\"", {}}, {{"-n"}, "-n needs a value", {}}, {{"-b", "2M", "-e", "1M"}, "-b is larger", {}},
      {{"-f", "2", "-i", "8"}, "exclude", {}},
      {{"-b", "3"}, "at least one element", {}}, {{"-b", "4", "-i", "1"}, "more than 1000 sizes", {}}};
  for (const auto& r : rows) {
    const parsed p = parse_args(r.args);
    const std::string args = testing::PrintToString(r.args);
    EXPECT_EQ(p.error.empty(), r.error.empty()) << args << ": " << p.error;
    EXPECT_TRUE(p.error.find(r.error) != std::string::npos && p.error.find('\n') == std::string::npos) << p.error;
    EXPECT_EQ(r.error.empty() ? sweep_sizes(p.s) : r.sizes, r.sizes) << args;
  }
  const settings s = parse_args(rows[2].args).s, d = parse_args({}).s, n = parse_args({"-m", "nccl"}).s;
  EXPECT_TRUE(s.half && s.average && s.async && s.json_file == "f" && d.check && !d.half && !d.registered);
  EXPECT_TRUE(parse_args(rows[3].args).s.registered);
  EXPECT_EQ(std::make_tuple(d.mode, d.options, n.options, sweep_sizes(d).size()),
            std::make_tuple(start_mode::legacy, "-cpu_only 1 -mode p", "", 17u));
}

TEST(Perf, Bandwidth) {
  const struct { size_t bytes; double seconds; int n; double alg, bus; } rows[] = {
      {1000000000, 1.0, 2, 1.0, 1.0}, {1000000000, 0.5, 4, 2.0, 3.0}, {8000000000, 2.0, 1, 4.0, 0.0},
      {3000, 1e-6, 3, 3.0, 4.0}};
  for (const auto& r : rows)
    EXPECT_EQ(std::make_pair(algbw(r.bytes, r.seconds), busbw(r.bytes, r.seconds, r.n)), std::make_pair(r.alg, r.bus));
  EXPECT_EQ(std::make_pair(median({5.0, 1.0, 3.0}), median({4.0, 1.0, 2.0, 9.0})), std::make_pair(3.0, 3.0));
}

TEST(Perf, CheckFindsMissingAndMisplacedData) {
  const size_t n = 3000;
  for (bool half : {false, true}) {
    std::vector<float> sum(n, 0.0f), missing, moved;  // the sum of 3 processes, without the last, a block moved
    for (int r = 0; r < 3; ++r)
      for (size_t i = 0; i < n; ++i) sum[i] += input_value(r, i, 3, half);
    missing = moved = sum;
    for (size_t i = 0; i < n; ++i) missing[i] -= input_value(2, i, 3, half);
    std::copy(sum.begin(), sum.begin() + 1024, moved.begin() + 1024);
    auto wrong = [&](std::vector<float> v, bool average) {
      std::vector<__half> h(n);
      for (size_t i = 0; i < n; ++i) h[i] = __float2half(v[i] = average ? v[i] * (1.0f / 3) : v[i]);
      return count_wrong(half ? static_cast<void*>(h.data()) : v.data(), n, 3, half, average);
    };
    EXPECT_EQ(std::make_tuple(wrong(sum, false), wrong(sum, true)), std::make_tuple(0u, 0u)) << half;
    EXPECT_TRUE(wrong(missing, false) > n * 9 / 10 && wrong(moved, false) > 900) << half;
  }
}
