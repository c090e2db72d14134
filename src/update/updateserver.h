#pragma once

#include "httpclient.h"

#include <string>

// "http://" and the update server's host[:port], taken from the environment
// variable KARVENZOP_UPDATE_SERVER, "localhost" (port 80) when it is not
// set. Resource paths such as "/firmware.php?id=karvenzop" are appended.
std::string UpdateServerBase();

// What each update request may cost; the values, and why, in
// updateserver.cpp (README, "Limits").
extern const THttpRequestLimits kVersionReplyLimits;
extern const THttpRequestLimits kToolDownloadLimits;
extern const THttpRequestLimits kFirmwareDownloadLimits;
