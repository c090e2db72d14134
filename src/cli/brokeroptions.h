#pragma once

#include "brokerlink.h"

#include <map>
#include <string>

namespace cli {

// The broker link from the command's options (--credentials, --ca-file,
// --cert, --key) and the address; throws std::invalid_argument for what the
// user must correct and std::runtime_error for an unreadable credentials file.
publish::LinkSettings BrokerLinkFromOptions(const std::string &url, const std::map<std::string, std::string> &options);

} // namespace cli
