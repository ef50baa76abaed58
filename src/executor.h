// Runs one command frame to completion on the agent thread.
#pragma once

#include "cli_common.h"

namespace cli_internal {

// Runs the command line of frame and sends its output and DONE (carrying
// the command's result when with_result: the server asked for results in
// its ACK); false when the connection can no longer be read in step (a
// prompt's read failed).
bool execute_command(const cli_frame &frame, bool with_result);

} // namespace cli_internal
