// See trace_double.h: replaces src/common/qor_trace.cpp in the parser fuzz
// targets so that the documented exit on malformed input becomes an
// exception the target can check.
#include "trace_double.h"

#include "qor_trace.h"

namespace {
char g_severity = 0;
std::string g_text;
}  // namespace

namespace fuzz {
char last_severity() { return g_severity; }
const std::string& last_text() { return g_text; }
void clear_trace() {
  g_severity = 0;
  g_text.clear();
}
}  // namespace fuzz

namespace qor {

void write_trace_line(char severity, int /*line*/, int /*rank*/, const std::string& text) {
  g_severity = severity;
  g_text = text;
}

void exit_with_error(int line, const std::string& text) {
  write_trace_line('E', line, no_rank, text);
  throw fuzz::fuzz_exit{line, text};
}

}  // namespace qor
