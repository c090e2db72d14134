#include "trustedkeys.h"

#include "fileio.h"
#include "karvenzop_config.h"
#include "resourcestring.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>

namespace {

// A public key file is two short lines; a folder holds a handful.
constexpr uint64_t kKeyFileLimit = 4096;
constexpr size_t kKeysPerFolder = 256;

void AddKeyFile(const std::string &name, std::vector<TrustedKey> &keys)
{
    try {
        keys.push_back({ParseMinisignPublicKey(LoadFileBytes(name, kKeyFileLimit)), name});
    } catch (const std::exception &) {
        // Not a key: it cannot vouch for anything.
    }
}

void AddKeyFolder(const std::filesystem::path &folder, std::vector<TrustedKey> &keys)
{
    std::error_code error;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
        if (it->path().extension() == ".pub" && names.size() < kKeysPerFolder)
            names.push_back(it->path().string());
    }
    std::sort(names.begin(), names.end());
    for (const std::string &name : names)
        AddKeyFile(name, keys);
}

std::filesystem::path ShippedKeyFolder()
{
    const std::filesystem::path program = std::filesystem::path(ResolvedProgramPath()).parent_path();
    std::error_code error;
    if (std::filesystem::is_directory(program / "keys", error))
        return program / "keys";
    return (program / KZ_KEY_DIR_FROM_PROGRAM).lexically_normal();
}

} // namespace

std::vector<TrustedKey> LoadTrustedKeys()
{
    std::vector<TrustedKey> keys;
    if (const char *list = std::getenv("KARVENZOP_TRUSTED_KEYS")) {
        std::string_view rest(list);
        while (!rest.empty()) {
            const size_t end = rest.find(kKeyListSeparator);
            if (end > 0)
                AddKeyFile(std::string(rest.substr(0, end)), keys);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        }
        return keys;
    }
    AddKeyFolder(ShippedKeyFolder(), keys);
    const std::string user = UserKeyFolder();
    if (!user.empty())
        AddKeyFolder(user, keys);
    return keys;
}

const TrustedKey *FindTrustedKey(const std::vector<TrustedKey> &keys, const MinisignKeyId &keyId)
{
    const auto found = std::find_if(keys.begin(), keys.end(), [&](const TrustedKey &k) { return k.key.keyId == keyId; });
    return found == keys.end() ? nullptr : &*found;
}
