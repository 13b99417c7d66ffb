#include "qor_message.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qor_trace.h"

namespace qor_message {

const std::map<int, std::string> Severity = {
    {SEVERITY_ERROR, "ERROR"},
    {SEVERITY_WARN, "WARN"},
};

const std::map<int, std::string> Messages = {
    {MSG_UNKNOWN, "An unknown error has occurred."},
    {MSG_CUDA, "A CUDA error has occurred on host %1$s:\n%2$s"},
    {MSG_CUBLAS, "A cuBLAS error has occurred on host %1$s. Return code is %2$d."},
    {MSG_NCCL, "A NCCL error has occurred on host %1$s:\n%2$s"},
    {MSG_MPI, "A MPI error has occurred on host %1$s with return code '%2$d':\n%3$s"},
    {MSG_QOR, "A QOR error has occurred on host %1$s."},
    {MSG_PCI_MAPPING, "[MPI: %1$d] Device to PCI mapping is not sequential."},
    {MSG_MULTI_GPU,
     "QOR does not support using more than one GPU per process. GPUs %2$d and %3$d were used "
     "inside the same process on host %1$s."},
    {MSG_UNKNOWN_DETAIL, "An unknown error has occurred. Additional information:\n%1$s"},
    {MSG_PIPE_UNSUPPORTED, "[MPI: %1$d] Pipelining does not support '%2$s' at dimension '%3$d'.\n"},
    {MSG_PARAM_CONFLICT,
     "[MPI: %1$d] Parameter '%2$s %3$s' cannot be used with parameter '%4$s %5$s'.\n"},
    {MSG_TOPOLOGY,
     "[MPI: %1$d] User specified topology '%2$s' is incompatible with the specified number of "
     "processes '%3$d'.\n"},
    {MSG_DIMENSIONS, "[MPI: %1$d] Unsupported number of dimensions '%2$zu'.\n"},
    {MSG_PARTITION, "[MPI: %1$d] Invalid partitioning.\n"},
    {MSG_NO_GPU,
     "[MPI: %1$d] Parameter '%2$s %3$s' being used, but no GPU devices are detected.\n"},
    {MSG_UNKNOWN_ALGO, "[MPI: %1$d] Unknown algorithm selected '%2$c'.\n"},
    {MSG_HALF_MPI,
     "[MPI: %1$d] Mode 'm' does not currently support half-precision floating point."},
};

std::string get_error_prefix(Message_Severity severity, Message_Id id) {
  return "[" + Severity.at(severity) + " QOR-1-" + std::to_string(static_cast<int>(id)) + "] ";
}

void vlog_message_(const std::string& file, int line, Message_Severity severity, Message_Id id,
                   va_list args) {
  const char* debug = std::getenv("QOR_DEBUG");
  if (debug != nullptr && std::strcmp(debug, "1") == 0) {
    std::fprintf(stderr, "[QOR DEBUG] %s:%d", file.c_str(), line);
  }
  auto it = Messages.find(id);
  std::string text;
  if (it != Messages.end()) {
    std::string format = get_error_prefix(severity, id) + it->second + "\n";
    char* formatted = nullptr;
    const int n = vasprintf(&formatted, format.c_str(), args);
    text = n >= 0 && formatted != nullptr ? std::string(formatted, static_cast<size_t>(n)) : format;
    std::free(formatted);
  } else {
    text = get_error_prefix(SEVERITY_ERROR, MSG_UNKNOWN) + Messages.at(MSG_UNKNOWN) + "\n";
  }
  std::fputs(text.c_str(), stderr);
  std::fflush(stderr);
  qor::note_error_text(text);
}

// The id is taken as int: va_start after an enum of no fixed underlying
// type, which promotes, is undefined.
void log_message_(std::string file, int line, Message_Severity severity, int id, ...) {
  va_list args;
  va_start(args, id);
  vlog_message_(file, line, severity, static_cast<Message_Id>(id), args);
  va_end(args);
}

}  // namespace qor_message
