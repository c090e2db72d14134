#pragma once

#include <string_view>
#include <vector>

namespace cli {

// The board's page and the files it loads, built into the program so that
// nothing is fetched from elsewhere and the page always matches the program.
struct BoardFile {
    const char *path;   // as requested: "/", "/board.js"
    const char *type;   // Content-Type
    std::string_view body;
};

const std::vector<BoardFile> &BoardFiles();

} // namespace cli
