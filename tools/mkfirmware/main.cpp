// mkfirmware: wraps a binary image into a firmware container.
//   mkfirmware --target KARVEN-C469 --version 4.70 [--address N] in.bin out.acy

#include "firmwarecontainer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

int Fail(const std::string &message)
{
    std::fprintf(stderr, "mkfirmware: %s\n", message.c_str());
    return 1;
}

void Usage(FILE *to)
{
    std::fputs("usage: mkfirmware --target ID --version TEXT [--address N] in.bin out.acy\n", to);
}

} // namespace

int main(int argc, char **argv)
{
    std::string target, version, in, out;
    unsigned long address = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--target" || arg == "--version" || arg == "--address") && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--target") {
                target = value;
            } else if (arg == "--version") {
                version = value;
            } else {
                char *end = nullptr;
                errno = 0;
                address = std::strtoul(value.c_str(), &end, 0);
                if (errno || !end || *end || address > 0xFFFFFFFFul)
                    return Fail("--address: not a 32-bit number: " + value);
            }
        } else if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        } else if (!arg.empty() && arg[0] == '-') {
            Usage(stderr);
            return 2;
        } else if (in.empty()) {
            in = arg;
        } else if (out.empty()) {
            out = arg;
        } else {
            Usage(stderr);
            return 2;
        }
    }
    if (target.empty() || version.empty() || in.empty() || out.empty()) {
        Usage(stderr);
        return 2;
    }

    std::ifstream input(in, std::ios::binary);
    if (!input)
        return Fail("cannot open " + in + ": " + std::strerror(errno));
    const std::string image((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    if (input.bad())
        return Fail("cannot read " + in);

    std::string container;
    try {
        container = BuildFirmwareContainer(target, version, image, static_cast<uint32_t>(address));
    } catch (const EFirmwareFile &e) {
        return Fail(e.Message());
    }

    const std::string temp = out + ".tmp";
    {
        std::ofstream output(temp, std::ios::binary | std::ios::trunc);
        output.write(container.data(), static_cast<std::streamsize>(container.size()));
        output.close();
        if (!output)
            return Fail("cannot write " + temp);
    }
    if (std::rename(temp.c_str(), out.c_str()) != 0)
        return Fail("cannot rename " + temp + " to " + out + ": " + std::strerror(errno));
    std::printf("%s: %zu image bytes for %s, version %s\n", out.c_str(), image.size(), target.c_str(),
                version.c_str());
    return 0;
}
