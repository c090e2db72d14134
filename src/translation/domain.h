#pragma once

#include "catalogue.h"
#include "embedded.h"
#include "mappedfile.h"

#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>

// Catalogues carried inside the program file, shared by all domains.
struct EmbeddedCatalogues {
    std::string programPath;
    std::string programDirectory;
    EmbeddedIndex index;
};

// One text domain: where its catalogue lives and, once looked up, the
// mapped catalogue. Loading happens on the first lookup after a change of
// directory or language.
class TDomain {
public:
    TDomain(std::string name, std::string directory, std::string language,
            std::shared_ptr<const EmbeddedCatalogues> embedded);

    const std::string &Name() const { return name_; }
    void SetDirectory(std::string directory);
    void SetLanguage(std::string language);

    // The catalogue's translation of key (UTF-8, no CR); empty when the
    // catalogue lacks it or there is no catalogue. May raise the catalogue
    // errors on the lookup that loads.
    std::optional<std::string> Find(std::string_view key);

    // For tests and diagnostics: the file that was loaded, empty if none.
    std::string LoadedFile() const;

private:
    void Load();
    std::string CatalogueName(const std::string &language) const;
    bool OpenCatalogue(const std::string &fileName);
    void Unload();

    const std::string name_;
    const std::shared_ptr<const EmbeddedCatalogues> embedded_;
    mutable std::shared_mutex lock_;
    std::string directory_;
    std::string language_;
    bool needsLoading_ = true;
    bool loaded_ = false;
    std::string loadedFile_;
    MappedFile file_;
    std::optional<MoCatalogue> catalogue_;
};
