#include "qor_exception.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "qor_message.h"
#include "qor_trace.h"

QORException::QORException(no_format, std::string file_, int line_, int status_, int id_)
    : file(std::move(file_)), line(line_), status(status_), id(id_) {}

QORException::QORException(std::string file_, int line_, int status_, int id_, ...)
    : QORException(no_format{}, std::move(file_), line_, status_, id_) {
  va_list args;
  va_start(args, id_);
  message = from_va_list(file, line, status, id, args).message;
  va_end(args);
}

QORException QORException::from_va_list(std::string file, int line, int status, int id,
                                         va_list args) {
  QORException e(no_format{}, std::move(file), line, status, id);
  // An unknown id gives message 1's text rather than no text.
  auto it = qor_message::Messages.find(id);
  e.message = it != qor_message::Messages.end()
                  ? create_message(it->second, args)
                  : qor_message::Messages.at(qor_message::MSG_UNKNOWN);
  return e;
}

QORException::~QORException() = default;

const char* QORException::what() const noexcept { return message.c_str(); }

std::string QORException::create_message(const std::string& format, va_list args) {
  char* text = nullptr;
  int n = vasprintf(&text, format.c_str(), args);
  if (n < 0 || text == nullptr) return format;
  std::string result(text, static_cast<size_t>(n));
  std::free(text);
  return result;
}

namespace qor {

std::string base_name(const char* path) {
  std::string p = path ? path : "";
  size_t slash = p.find_last_of('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string host_name() {
  char name[128] = {0};
  gethostname(name, sizeof name);
  name[sizeof name - 1] = '\0';
  return name;
}

void raise(const char* file, int line, int status, int id, ...) {
  std::string name = base_name(file);
  va_list args;
  va_start(args, id);
  va_list args_for_exception;
  va_copy(args_for_exception, args);
  qor_message::vlog_message_(name, line, qor_message::SEVERITY_ERROR,
                             static_cast<qor_message::Message_Id>(id), args);
  va_end(args);
  QORException e = QORException::from_va_list(name, line, status, id, args_for_exception);
  va_end(args_for_exception);
  throw e;
}

void raise_refusal(const char* file, int line, int rank, const std::string& why) {
  write_trace_line('E', line, rank, why);
  raise(file, line, library_failure_status, qor_message::MSG_QOR, host_name().c_str());
}

void log_error(const char* file, int line, int id, ...) {
  va_list args;
  va_start(args, id);
  qor_message::vlog_message_(base_name(file), line, qor_message::SEVERITY_ERROR,
                             static_cast<qor_message::Message_Id>(id), args);
  va_end(args);
}

}  // namespace qor
