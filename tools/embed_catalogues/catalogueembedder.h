#pragma once

#include <string>
#include <vector>

struct CatalogueToEmbed {
    std::string name;  // relative to the program directory, e.g. locale/de/LC_MESSAGES/default.mo
    std::string bytes;
};

// Appends the catalogues and their chain to a program image and points the
// anchor at the chain. Raises Exception when the image has no single
// anchor or already carries catalogues.
std::string EmbedCatalogues(std::string program, const std::vector<CatalogueToEmbed> &catalogues);
