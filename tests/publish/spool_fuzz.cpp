// A damaged spool folder (any bytes as the journal segment and as "marks")
// opens to a spool that hands out intact records only, and never crashes;
// any text as a broker address is taken or refused.
#include "brokeraddress.h"
#include "spool.h"

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace {

std::string Folder()
{
    std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/kz-fuzz-spool-XXXXXX");
    if (!::mkdtemp(pattern.data()))
        std::abort();
    return pattern;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string dir = Folder();
    const std::string bytes(reinterpret_cast<const char *>(data), size);
    const size_t split = size ? static_cast<unsigned char>(bytes[0]) * size / 256 : 0;
    std::ofstream(dir + "/marks", std::ios::binary | std::ios::trunc) << bytes.substr(0, split);
    std::ofstream(dir + "/journal-00000000000000000001", std::ios::binary | std::ios::trunc) << bytes.substr(split);
    try {
        publish::Spool spool(dir, {1 << 20, 1000});
        uint64_t last = 0;
        while (auto message = spool.Next()) {
            if (message->seq <= last)
                std::abort();   // out of order
            last = message->seq;
        }
        if (spool.Append(publish::Channel::Line, "x") < last)
            std::abort();       // a number used twice
        spool.Commit();
    } catch (const std::runtime_error &) {
        // A spool that cannot be used is refused with a message.
    }
    for (const char *name : {"/marks", "/marks.new", "/lock"})
        ::unlink((dir + name).c_str());
    for (int i = 1; i <= 2000; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "/journal-%020d", i);
        ::unlink((dir + name).c_str());
    }
    try {
        publish::ParseBrokerAddress(bytes);
    } catch (const std::invalid_argument &) {
    }
    return 0;
}
