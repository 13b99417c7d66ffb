// libFuzzer target: the option text parser (src/common/qor_option.cpp),
// both overloads of parse_option.
//
// Exits by design.  The parser ends the process on malformed text in two
// ways:
//   1. "ill-formated option" and "invalid value" go through
//      qor::exit_with_error, which trace_double.cpp turns into a thrown
//      fuzz::fuzz_exit (see trace_double.h); the target checks the text.
//   2. An unknown key calls std::exit(1) directly (exit_unknown_key), which
//      no hook can intercept.  So every input is first run through
//      `model`, an independent reading of the documented rule (items start
//      at each '-'; "key value" split at the first blank; surrounding blanks
//      trimmed from the value; a value with an inner blank is refused; only
//      known keys are accepted; items apply in order).  The exiting call is
//      made only when the model says the parser stops before any unknown
//      key.  When it stops at an unknown key, the parser gets instead
//      (a) the text up to the '-' that starts that item, and (b) the whole
//      text with a map that holds every key the text names, so the rest of
//      the text is parsed as well.
// Every result (map, or the text of the exit) must match the model; a
// mismatch aborts, so it shows as a crash with the input saved.  If the
// model ever judged an unknown key wrongly, the parser's std::exit(1) would
// be reported by libFuzzer as "fuzz target exited": never hidden.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "qor_option.h"
#include "trace_double.h"

namespace {

using option_map = std::map<std::string, std::string>;

struct outcome {
  enum { accepted, exits, unknown_key } kind = accepted;
  option_map options;       // accepted: the map after every item
  std::string exit_text;    // exits: the error line's text
  size_t unknown_at = 0;    // unknown_key: start of the text of that item
};

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "fuzz_option: %s: [%s]\n", what, detail.c_str());
  std::abort();
}

outcome model(const std::string& text, const option_map& start) {
  outcome result;
  result.options = start;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find('-', begin);
    if (end == std::string::npos) end = text.size();
    if (end > begin) {
      // One item: text[begin, end).
      size_t blank = std::string::npos;
      for (size_t i = begin; i < end; ++i) {
        if (text[i] == ' ') {
          blank = i;
          break;
        }
      }
      if (blank == std::string::npos || blank == begin) {
        result.kind = outcome::exits;
        result.exit_text = "ill-formated option :[" + text + "]";
        return result;
      }
      const std::string key = text.substr(begin, blank - begin);
      size_t first = blank, last = end;
      while (first < end && text[first] == ' ') ++first;
      while (last > first && text[last - 1] == ' ') --last;
      const std::string value = text.substr(first, last - first);
      if (value.find(' ') != std::string::npos) {
        result.kind = outcome::exits;
        result.exit_text = "invalid value \"" + value + "\" for -" + key + " option ";
        return result;
      }
      auto found = result.options.find(key);
      if (found == result.options.end()) {
        result.kind = outcome::unknown_key;
        result.unknown_at = begin == 0 ? 0 : begin - 1;  // at its '-', if any
        return result;
      }
      found->second = value;
    }
    begin = end + 1;
  }
  return result;
}

// Every key the items of `text` name (the text before the first blank of
// each item), added to `options` with a value of their own.
void add_named_keys(const std::string& text, option_map& options) {
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t end = text.find('-', begin);
    if (end == std::string::npos) end = text.size();
    const size_t blank = text.find(' ', begin);
    if (blank != std::string::npos && blank > begin && blank < end)
      options.emplace(text.substr(begin, blank - begin), "fuzz");
    begin = end + 1;
  }
}

// Runs `call` where the model says it ends in `expected`, and checks it.
template <class Call>
void check(const outcome& expected, const std::string& text, Call call) {
  fuzz::clear_trace();
  try {
    const option_map got = call();
    if (expected.kind != outcome::accepted) fail("accepted, expected an exit", text);
    if (got != expected.options) fail("map differs from the model", text);
  } catch (const fuzz::fuzz_exit& exit) {
    if (expected.kind != outcome::exits) fail("exited, expected acceptance", text);
    if (exit.text != expected.exit_text) fail("exit text differs", exit.text);
    if (fuzz::last_severity() != 'E') fail("exit without an E line", text);
  }
}

const option_map& defaults() {
  // The defaults are what the one-argument overload gives for empty text.
  static const option_map map = parse_option(std::string());
  return map;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // One-argument overload: the library's own keys.
  const outcome whole = model(text, defaults());
  if (whole.kind == outcome::unknown_key) {
    const std::string prefix = text.substr(0, whole.unknown_at);
    const outcome before = model(prefix, defaults());
    if (before.kind != outcome::accepted) fail("model: prefix not accepted", prefix);
    check(before, prefix, [&] { return parse_option(prefix); });
  } else {
    check(whole, text, [&] { return parse_option(text); });
  }

  // Two-argument overload with every named key known: never an unknown key.
  option_map known = {{"mode", "r"}, {"cpu_only", "0"}};
  add_named_keys(text, known);
  const outcome all = model(text, known);
  if (all.kind == outcome::unknown_key) fail("model: unknown key left", text);
  check(all, text, [&] {
    option_map options = known;
    parse_option(text, options);
    return options;
  });
  return 0;
}
