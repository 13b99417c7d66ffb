// The one exception type of the library, and the raising convention: log the
// numbered message, then throw it, with the caller's file and line.
#pragma once

#include <cstdarg>
#include <exception>
#include <string>

class QORException : public std::exception {
 public:
  std::string file;     // source file of the raise, without directory
  int line;             // source line of the raise
  int status;           // 6 for library failures, the message id for usage errors
  int id;               // message id
  std::string message;  // formatted message text

  QORException(std::string file, int line, int status, int id, ...);
  ~QORException() override;

  const char* what() const noexcept override;

  static std::string create_message(const std::string& format, va_list args);

  // Same as the variadic constructor, for callers that hold a va_list.
  static QORException from_va_list(std::string file, int line, int status, int id,
                                   va_list args);

 private:
  struct no_format {};
  QORException(no_format, std::string file, int line, int status, int id);
};

namespace qor {

// Status carried by exceptions of failing libraries (messages 2 to 6).
constexpr int library_failure_status = 6;

// Logs message `id` with ERROR severity, then throws QORException(status, id)
// with the same arguments.  `file` may carry directories; they are dropped.
[[noreturn]] void raise(const char* file, int line, int status, int id, ...);

// A request the library refuses as a failure: the error line `why` at
// `line` with `rank` (no_rank for none), then message 6 with the host name
// raised from file:line.
[[noreturn]] void raise_refusal(const char* file, int line, int rank, const std::string& why);

// Logs message `id` with ERROR severity without throwing (messages 9 and 17).
void log_error(const char* file, int line, int id, ...);

// The file name without its directories.
std::string base_name(const char* path);

// gethostname into a 128-byte buffer.
std::string host_name();

}  // namespace qor

#define QOR_RAISE(status, id, ...) ::qor::raise(__FILE__, __LINE__, (status), (id), ##__VA_ARGS__)
#define QOR_REFUSE(rank, why) ::qor::raise_refusal(__FILE__, __LINE__, (rank), (why))
#define QOR_LOG_ERROR(id, ...) ::qor::log_error(__FILE__, __LINE__, (id), ##__VA_ARGS__)
