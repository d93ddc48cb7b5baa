// The Win32 side's shared flag for a console control event in progress.
#pragma once

namespace qx::platform::win32 {

// True once a console control event has begun to end the process. The handler
// runs on a thread of its own while the program goes on; from then on the file
// calls create no new files, so that nothing appears after the cleanup.
bool ending();

}  // namespace qx::platform::win32
