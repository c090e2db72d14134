#pragma once

#include "httpclient.h"

#include <string>

// The update server as the user named it: `given` (the command line's
// --server), else the environment variable KARVENZOP_UPDATE_SERVER, else
// the key UpdateServer of the user's settings, else "localhost".
std::string UpdateServerSetting(const std::string &given = {});

// The URL base for that setting: "http://" and host[:port]; a value that
// names its scheme ("https://…") is taken as it is. Resource paths such as
// "/firmware.php?id=karvenzop" are appended.
std::string UpdateServerBase(const std::string &given = {});

// The one rule that turns a setting's text into a URL base (empty:
// localhost).
std::string UpdateServerBaseFor(std::string value);

// What each update request may cost; the values, and why, in
// updateserver.cpp (README, "Limits").
extern const THttpRequestLimits kVersionReplyLimits;
extern const THttpRequestLimits kToolDownloadLimits;
extern const THttpRequestLimits kFirmwareDownloadLimits;
