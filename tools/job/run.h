// Streaming a plan to the box through the library's exports. Kept apart from
// the parsers and the planner, which call nothing: this part links against
// whichever build of the library its program uses (zrqctl the shared one,
// the benchmark the static core).
#ifndef ZRQ_TOOLS_JOB_RUN_H
#define ZRQ_TOOLS_JOB_RUN_H

#include <signal.h>
#include <stdint.h>

#include "tools/job/job.h"

namespace job {

enum class RunEnd { Done, Interrupted, Failed, StillMoving };

struct RunReport {
    RunEnd end = RunEnd::Done;
    int line = 0;            // Failed: the source line of the operation
    int32_t result = 0;      // Failed: what the call returned
    long segments = 0;       // moves sent
    int32_t stopResult = 0;  // Failed, StillMoving: what the emergency stop returned
};

// Called between operations and while the box finishes its moves.
typedef void (*ProgressHook)(long done, long total, void* context);
// Called at a pause once the box has stopped and the tool is off; false
// ends the run as interrupted.
typedef bool (*PauseHook)(const std::string& message, int line, void* context);

// Sends the plan in lazy mode, then waits until the box has stopped. Ends
// early when *interrupted becomes non-zero (the caller then sends the
// emergency stop and reports it) or, with the emergency stop sent, when a
// call fails. The wait mode is as before afterwards.
// Without a pause hook the stream goes on at once after each pause.
RunReport StreamPlan(const Plan& plan, volatile sig_atomic_t* interrupted, ProgressHook progress,
    void* context, PauseHook pause = nullptr, void* pauseContext = nullptr);

// The box's own step sizes (information selector 26) for X, Y and Z and the
// Y velocity unit (27); zeros for what it does not report.
Machine ReadMachine();

}  // namespace job

#endif
