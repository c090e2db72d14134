#pragma once

#include <string>
#include <string_view>

// The parts of a request URL as the client uses them. Port is the text
// after the host's ":" (empty when the URL gives none).
struct HttpUrl {
    std::string Protocol;
    std::string Host;
    std::string Port;
    std::string Path;      // always begins with "/"
    std::string Document;  // the part after the last "/", query included, fragment cut

    // What follows "GET ": the query travels inside the document.
    std::string Target() const { return Path + Document; }
};

HttpUrl SplitUrl(std::string_view url);
