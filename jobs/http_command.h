#pragma once
// HTTPCommand: the thread that carries out one camera command of an alarm
// job. JobAlrProc starts one per "Camera%dCommand%d" section; the thread
// marks the command's entry of the alarm's table as running, builds the
// command from the camera's templates ("io", "rec" or "ptz"), sends it, sends
// the follow-up of a pulse or of a timed recording after its delay, counts
// the outcome in its camera row, marks the entry succeeded or failed and sets
// its event.
//
// It lives in the jobs library because it works on the job record, and
// the command records it drives lie below jobs in the link order; app/
// builds the job runner with it as the runner's command worker.
#include <memory>

#include "jobs/job.h"

namespace jobs {

// The thread procedure. It copies what it needs of its command at once.
// When the job is over before the command has ended (a pulse or recording
// longer than JobAlrProc waits), the follow-up is still sent, so an output
// is never left set, but the job's counters, its event and the table entry
// are left alone.
void HTTPCommand(std::shared_ptr<HTTPCommandArgs> args);

}  // namespace jobs
