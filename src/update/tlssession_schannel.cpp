#include "tlssession.h"

#include "httperrors.h"

// The Windows build has no TLS backend yet: an https server is refused with
// a clear message, never asked over plain HTTP.
std::unique_ptr<TTlsSession> TTlsSession::Start(const std::string &host)
{
    throw EHttpTlsError(host, "TLS is not available in this build");
}
