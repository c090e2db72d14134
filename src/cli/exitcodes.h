#pragma once

namespace cli {

// The program's exit codes, as the manual page lists them.
enum ExitCode {
    ExitOk = 0,
    ExitDecoderError = 1,   // the port or the decoder failed or did not answer
    ExitUsage = 2,
    ExitServerError = 3,
    ExitFlashFailed = 4,    // refused, or the update did not complete
    ExitLocalFile = 5,      // a local file could not be read or written (the image, firmware.acy)
    ExitOutput = 6,         // the output could not be written (disk full, closed, the reader gone)
    ExitUpdateAvailable = 100,   // check: the server offers a newer version
};

} // namespace cli
