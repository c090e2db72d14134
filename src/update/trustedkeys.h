#pragma once

#include "minisign.h"

#include <string>
#include <vector>

// A public key downloads are checked against, and the file it came from.
struct TTrustedKey {
    TMinisignPublicKey key;
    std::string file;
};

// The .pub files of KARVENZOP_TRUSTED_KEYS (a list of files, ":" between
// them, ";" on Windows) when it is set: it replaces the set. Otherwise
// those shipped with the program (its "keys" folder, installed in
// share/karvenzop/keys) and the user's own (UserKeyFolder()). A file that
// is no public key is passed over.
std::vector<TTrustedKey> LoadTrustedKeys();
const TTrustedKey *FindTrustedKey(const std::vector<TTrustedKey> &keys, const TMinisignKeyId &keyId);

// Per system: $XDG_CONFIG_HOME/karvenzop/keys (~/.config/...), or
// %APPDATA%\KarvenZop\keys; and the separator of the variable's list.
std::string UserKeyFolder();
extern const char kKeyListSeparator;
