#pragma once

#include "minisign.h"

#include <string>
#include <vector>

// A public key downloads are checked against, and the file it came from.
struct TrustedKey {
    MinisignPublicKey key;
    std::string file;
};

// The .pub files of KARVENZOP_TRUSTED_KEYS (a list of files, ":" between
// them, ";" on Windows) when it is set: it replaces the set. Otherwise
// those shipped with the program (its "keys" folder, installed in
// share/karvenzop/keys) and the user's own (UserKeyFolder()). A file that
// is no public key is passed over.
std::vector<TrustedKey> LoadTrustedKeys();
const TrustedKey *FindTrustedKey(const std::vector<TrustedKey> &keys, const MinisignKeyId &keyId);

// Per system: $XDG_CONFIG_HOME/karvenzop/keys (~/.config/...), or
// %APPDATA%\KarvenZop\keys; and the separator of the variable's list.
std::string UserKeyFolder();
extern const char kKeyListSeparator;
