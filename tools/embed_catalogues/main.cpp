// Appends message catalogues to a built program so that it finds them
// without a "locale" folder beside it.
//
//   embed_catalogues PROGRAM BASEDIR [NAME...]
//
// Each NAME is a catalogue path relative to BASEDIR and is stored under
// that name (relative to the program's directory). Without names every
// .mo file below BASEDIR/locale is embedded.

#include "catalogueembedder.h"
#include "exception.h"
#include "fileio.h"

#include <algorithm>
#include <filesystem>
#include <iostream>

namespace fs = std::filesystem;

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::cerr << "usage: " << argv[0] << " PROGRAM BASEDIR [NAME...]\n";
        return 2;
    }
    try {
        const std::string program = argv[1];
        const fs::path base = argv[2];
        std::vector<std::string> names(argv + 3, argv + argc);
        if (names.empty()) {
            const fs::path locale = base / "locale";
            if (fs::is_directory(locale))
                for (const auto &item : fs::recursive_directory_iterator(locale))
                    if (item.is_regular_file() && item.path().extension() == ".mo")
                        names.push_back(fs::relative(item.path(), base).generic_string());
            std::sort(names.begin(), names.end());
        }
        if (names.empty()) {
            std::cerr << "no catalogues found below " << (base / "locale").string() << "\n";
            return 1;
        }

        std::vector<CatalogueToEmbed> catalogues;
        for (const auto &name : names)
            catalogues.push_back({fs::path(name).generic_string(), LoadFileBytes((base / name).string(), kCatalogueFileLimit)});
        SaveFileBytes(program, EmbedCatalogues(LoadFileBytes(program, kProgramFileLimit), catalogues));
        for (const auto &name : names)
            std::cout << "embedded " << name << "\n";
        return 0;
    } catch (const std::exception &error) {
        std::cerr << error.what() << "\n";
        return 1;
    }
}
