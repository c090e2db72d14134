#pragma once

#include "httpclient.h"

#include <string>

// The base URL for a server given as host[:port] (plain HTTP),
// https://host[:port] (TLS) or http://host[:port]; "localhost" when empty.
// Resource paths such as "/firmware.php?id=karvenzop" are appended.
std::string UpdateServerUrl(std::string server);

// The update server as the user named it: `given` (the command line's
// --server), else the environment variable KARVENZOP_UPDATE_SERVER, else
// the key UpdateServer of the user's settings, else "localhost".
std::string UpdateServerSetting(const std::string &given = {});

// UpdateServerUrl of that setting.
std::string UpdateServerBase(const std::string &given = {});

// What each update request may cost; the values, and why, in
// updateserver.cpp (README, "Limits").
extern const HttpRequestLimits kVersionReplyLimits;
extern const HttpRequestLimits kToolDownloadLimits;
extern const HttpRequestLimits kFirmwareDownloadLimits;
