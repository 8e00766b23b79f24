// A farm job on Slurm: the sbatch script that runs its chunks as array tasks (the task id is the
// chunk's index), submitting it, and what Slurm says of each task.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "orvanta/farm/job.h"

namespace orvanta::farm {

// The sbatch script running the given chunks (by index) as array tasks of the same indices.
std::string SlurmScript(const Job& job, const std::vector<size_t>& chunks);

// Throws Failure when sbatch is not on PATH (before anything is written).
void RequireSbatch();

// Submits the script with `sbatch --parsable`; returns the Slurm job id. Throws Failure with
// sbatch's own words when it refuses, and when it does not answer within two minutes.
std::string SubmitScript(const std::string& script);

// Slurm's state of each array task of a job, by task id; source says which command answered (""
// when none did). sacct answers where Slurm keeps accounting; scontrol knows pending, running and
// recently ended tasks; squeue pending and running ones.
std::map<size_t, std::string> TaskStates(const std::string& jobId, std::string& source);

// True for the states of a task that is queued or running (it may still write its frames).
bool IsActive(const std::string& state);

// Each chunk's Slurm task in its latest submission, with its state; source lists the commands
// that answered ("" for a job of another manager, or when none did).
struct TaskInfo {
  std::string jobId, state;  // state "" when Slurm did not say
};
std::map<size_t, TaskInfo> ChunkTasks(const Job& job, std::string& source);

}  // namespace orvanta::farm
