// Trace double for the parser fuzz targets (fuzz_option, fuzz_base64).
//
// The parsers end the process on malformed input by design: an "E" trace
// line and exit status 1 through qor::exit_with_error.  libFuzzer reports
// any exit during a run as a crash, so these targets are linked WITHOUT
// src/common/qor_trace.cpp and with trace_double.cpp instead, which defines
// the two functions the parsers call:
//   - qor::write_trace_line keeps the last line's severity and text;
//   - qor::exit_with_error keeps the text and throws fuzz_exit instead of
//     calling std::exit(1).  It is declared [[noreturn]] (not noexcept), so
//     throwing honours its contract: control never comes back to the parser,
//     whose locals are unwound by the exception.
// The targets catch fuzz_exit only around the call that may exit and check
// its text against the rule they model.  Nothing else is caught: a crash,
// sanitizer report, leak or hang inside the parser still ends the run.
#pragma once

#include <string>

namespace fuzz {

// Thrown in place of std::exit(1) by qor::exit_with_error.
struct fuzz_exit {
  int line;
  std::string text;
};

// Severity and text of the last trace line written (any severity).
char last_severity();
const std::string& last_text();
void clear_trace();

}  // namespace fuzz
