// How the project's tools start the library in each start mode, as a
// training framework would: the option text, and what the MPI-less mode
// needs from the job.
#ifndef QOR_TOOLS_START_TEXT_H
#define QOR_TOOLS_START_TEXT_H

#include <string>

namespace qor_tools {

// The option text of start mode "legacy", "nccl" or "mpiless", then
// `options`.  The MPI-less mode also takes this process's worker index,
// its device and the job's group identifier.
std::string start_text(const std::string& mode, const std::string& options, int rank, int processes, int device,
                       const std::string& group_id);
// Through MPI: rank 0's new group identifier, on every process.
std::string shared_group_id(int rank);
// Through MPI: this process's rank on its host, modulo the devices it sees.
int host_device();

}  // namespace qor_tools

#endif  // QOR_TOOLS_START_TEXT_H
