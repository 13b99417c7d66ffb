// Numbered messages: the severity and message tables, the prefix and the
// logger that writes a message to standard error.
#pragma once

#include <cstdarg>
#include <map>
#include <string>

namespace qor_message {

enum Message_Severity { SEVERITY_ERROR = 1, SEVERITY_WARN = 2 };

enum Message_Id {
  MSG_UNKNOWN = 1,
  MSG_CUDA = 2,
  MSG_CUBLAS = 3,
  MSG_NCCL = 4,
  MSG_MPI = 5,
  MSG_QOR = 6,
  MSG_PCI_MAPPING = 7,
  MSG_MULTI_GPU = 9,
  MSG_UNKNOWN_DETAIL = 10,
  MSG_PIPE_UNSUPPORTED = 11,
  MSG_PARAM_CONFLICT = 12,
  MSG_TOPOLOGY = 13,
  MSG_DIMENSIONS = 14,
  MSG_PARTITION = 15,
  MSG_NO_GPU = 16,
  MSG_UNKNOWN_ALGO = 17,
  MSG_HALF_MPI = 18
};

// severity -> name and id -> printf format with positional arguments.
extern const std::map<int, std::string> Severity;
extern const std::map<int, std::string> Messages;

// "[ERROR QOR-1-5] "; an unknown severity throws std::out_of_range.
std::string get_error_prefix(Message_Severity severity, Message_Id id);

// Writes one message to standard error (optionally behind "[QOR DEBUG] file:line"
// when QOR_DEBUG is exactly "1"); an unknown id writes message 1.
void log_message_(std::string file, int line, Message_Severity severity, int id, ...);
void vlog_message_(const std::string& file, int line, Message_Severity severity, Message_Id id,
                   va_list args);

}  // namespace qor_message
