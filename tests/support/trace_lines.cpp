// Reading the library's trace lines and numbered messages back from a log.
#include <cctype>
#include <cstring>
#include <sstream>

#include "qor_test_support.h"

namespace qor_test {

namespace {

// Reads one trace line; false for anything else.
//   <S> HH:MM:SS.mmm <pid> <tid> QOR:<line>] [[MPI:<rank>] ]<text>
bool parse_trace(const std::string& line, trace* out) {
  size_t at = 0;
  auto literal = [&](const char* word) {
    const size_t n = std::strlen(word);
    if (line.compare(at, n, word) != 0) return false;
    at += n;
    return true;
  };
  auto digits = [&](size_t exactly, long* value) {
    const size_t start = at;
    while (at < line.size() && std::isdigit(static_cast<unsigned char>(line[at]))) ++at;
    if (at == start || (exactly != 0 && at - start != exactly)) return false;
    if (value) *value = std::stol(line.substr(start, at - start));
    return true;
  };
  auto blanks = [&] {
    while (at < line.size() && line[at] == ' ') ++at;
  };
  if (line.size() < 2 || std::strchr("IWEFD", line[0]) == nullptr || line[1] != ' ') return false;
  at = 2;
  long source = 0;
  if (!(digits(2, nullptr) && literal(":") && digits(2, nullptr) && literal(":") &&
        digits(2, nullptr) && literal(".") && digits(3, nullptr) && literal(" ")))
    return false;
  blanks();
  if (!(digits(0, nullptr) && literal(" ") && digits(0, nullptr) && literal(" QOR:") &&
        digits(0, &source)))
    return false;
  blanks();
  if (!literal("] ")) return false;
  long rank = 0;
  const bool ranked = literal("[MPI:");
  if (ranked) {
    blanks();
    const bool negative = literal("-");
    if (!digits(0, &rank) || !literal("] ")) return false;
    if (negative) rank = -rank;
  }
  *out = {line[0], static_cast<int>(source), ranked, static_cast<int>(rank), line.substr(at)};
  return true;
}

}  // namespace

std::vector<trace> traces(const std::string& log) {
  std::vector<trace> found;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    trace t;
    if (parse_trace(line, &t)) found.push_back(t);
  }
  return found;
}

std::vector<trace> traces_at(const std::string& log, int line) {
  std::vector<trace> found;
  for (const trace& t : traces(log)) {
    if (t.line == line) found.push_back(t);
  }
  return found;
}

std::vector<std::string> trace_texts(const std::string& log, char severity, int rank) {
  std::vector<std::string> texts;
  for (const trace& t : traces(log)) {
    if (t.ranked && t.severity == severity && (rank < 0 || t.rank == rank)) texts.push_back(t.text);
  }
  return texts;
}

std::string message_line(int id, const std::string& body) {
  return "[ERROR QOR-1-" + std::to_string(id) + "] " + body + "\n";
}

}  // namespace qor_test
