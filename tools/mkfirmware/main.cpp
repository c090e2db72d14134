// mkfirmware: wraps a binary image into a firmware container, and signs
// containers and other downloads in the minisign format.
//   mkfirmware --target KARVEN-C469 --version 4.70 [--address N] [--sign KEY] in.bin out.acy
//   mkfirmware --sign KEY --target karvenzop --version 1.0.3 --sign-only ZOP-Update.exe
//   mkfirmware --new-key NAME        (NAME.key without password, NAME.pub)

#include "firmwarecontainer.h"
#include "minisign.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/stat.h>

namespace {

int Fail(const std::string &message)
{
    std::fprintf(stderr, "mkfirmware: %s\n", message.c_str());
    return 1;
}

void Usage(FILE *to)
{
    std::fputs("usage: mkfirmware --target ID --version TEXT [--address N] [--sign KEY] in.bin out.acy\n"
               "       mkfirmware --sign KEY --target ID --version TEXT --sign-only FILE\n"
               "       mkfirmware --new-key NAME\n"
               "--sign writes <out>.minisig with the trusted comment\n"
               "\"target:ID version:TEXT file:<name of out>\"; KEY is a minisign secret key\n"
               "without password (as --new-key or minisign -G -W make it).\n",
               to);
}

bool ReadFile(const std::string &name, std::string &bytes)
{
    std::ifstream input(name, std::ios::binary);
    if (!input)
        return false;
    bytes.assign(std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>());
    return !input.bad();
}

// Written under a temporary name and renamed, so a reader never sees half.
bool WriteFile(const std::string &name, const std::string &bytes, mode_t mode = 0644)
{
    const std::string temp = name + ".tmp";
    {
        std::ofstream output(temp, std::ios::binary | std::ios::trunc);
        output.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        output.close();
        if (!output)
            return false;
    }
    return ::chmod(temp.c_str(), mode) == 0 && std::rename(temp.c_str(), name.c_str()) == 0;
}

std::string BaseName(const std::string &path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

int Sign(const std::string &key, const std::string &file, const std::string &target, const std::string &version)
{
    std::string secret, bytes;
    if (!ReadFile(key, secret))
        return Fail("cannot read the key " + key);
    if (!ReadFile(file, bytes))
        return Fail("cannot read " + file);
    try {
        const std::string comment = "target:" + target + " version:" + version + " file:" + BaseName(file);
        if (!WriteFile(file + ".minisig", SignMinisign(secret, bytes, comment)))
            return Fail("cannot write " + file + ".minisig");
        std::printf("%s.minisig: %s\n", file.c_str(), comment.c_str());
    } catch (const EMinisignFormat &e) {
        return Fail(key + ": " + e.Message());
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string target, version, in, out, signKey, signOnly, newKey;
    unsigned long address = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if ((arg == "--target" || arg == "--version" || arg == "--address" || arg == "--sign" || arg == "--sign-only"
             || arg == "--new-key")
            && i + 1 < argc) {
            const std::string value = argv[++i];
            if (arg == "--sign") {
                signKey = value;
            } else if (arg == "--sign-only") {
                signOnly = value;
            } else if (arg == "--new-key") {
                newKey = value;
            } else if (arg == "--target") {
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
    if (!newKey.empty()) {
        const MinisignKeyPair pair = GenerateMinisignKeyPair();
        if (!WriteFile(newKey + ".key", pair.secretKeyFile, 0600) || !WriteFile(newKey + ".pub", pair.publicKeyFile))
            return Fail("cannot write " + newKey + ".key and .pub");
        std::printf("%s.pub: %s", newKey.c_str(), pair.publicKeyFile.substr(0, pair.publicKeyFile.find('\n') + 1).c_str());
        return 0;
    }
    if (!signOnly.empty()) {
        if (signKey.empty() || target.empty() || version.empty() || !in.empty()) {
            Usage(stderr);
            return 2;
        }
        return Sign(signKey, signOnly, target, version);
    }
    if (target.empty() || version.empty() || in.empty() || out.empty()) {
        Usage(stderr);
        return 2;
    }

    std::string image;
    if (!ReadFile(in, image))
        return Fail("cannot read " + in + ": " + std::strerror(errno));

    std::string container;
    try {
        container = BuildFirmwareContainer(target, version, image, static_cast<uint32_t>(address));
    } catch (const EFirmwareFile &e) {
        return Fail(e.Message());
    }

    if (!WriteFile(out, container))
        return Fail("cannot write " + out + ": " + std::strerror(errno));
    std::printf("%s: %zu image bytes for %s, version %s\n", out.c_str(), image.size(), target.c_str(),
                version.c_str());
    return signKey.empty() ? 0 : Sign(signKey, out, target, version);
}
