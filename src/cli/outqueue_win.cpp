// Console and pipe handles have no non-blocking writes here: a line goes
// out whole, and the wait flushes the queue before it sleeps.
#include "outqueue.h"

#include "fileio.h"

namespace cli {

OutQueue::OutQueue() = default;

OutQueue::~OutQueue() = default;

long OutQueue::WriteSome(std::string_view bytes)
{
    return WriteAll(1, bytes) ? static_cast<long>(bytes.size()) : -1;
}

} // namespace cli
