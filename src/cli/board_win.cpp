#include "board.h"

#include "exitcodes.h"
#include "textout.h"

namespace cli {

// The board serves the centre from a Linux host; this build has no HTTP server.
int RunBoard(const BoardOptions &, EventWait &)
{
    PrintError("board: not available on Windows");
    return ExitUsage;
}

} // namespace cli
