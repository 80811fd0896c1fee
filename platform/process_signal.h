#pragma once

// Identifying and signalling processes. Any thread may call these.

namespace halvex::platform {

using ProcessID = int;

enum class ProcessSignal { terminate, kill };

ProcessID currentProcessID();

// Whether a process with this identifier exists, including one this user may not signal.
bool processExists(ProcessID pid);

// Sends the signal; false when the process does not exist or may not be signalled.
bool signalProcess(ProcessID pid, ProcessSignal signal);

}  // namespace halvex::platform
