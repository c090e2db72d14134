#pragma once

#include "catalogue.h"
#include "embedded.h"
#include "mappedfile.h"

#include <memory>
#include <optional>
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
// directory or language. The domain has no lock of its own: the translator
// that owns it guards it with its reader-writer lock, so a lookup takes a
// single shared lock. Find() and LoadedFile() need the read side, all
// others the write side.
class TDomain {
public:
    TDomain(std::string name, std::string directory, std::string language,
            std::shared_ptr<const EmbeddedCatalogues> embedded);

    const std::string &Name() const { return name_; }
    void SetDirectory(std::string directory);
    void SetLanguage(std::string language);

    // True until Load() has run since the last change.
    bool NeedsLoading() const { return needsLoading_; }
    // Maps the catalogue; raises the catalogue errors.
    void Load();

    // The catalogue's translation of key, as stored (a view into the
    // mapping, valid while the read side is held); empty when the
    // catalogue lacks it or there is no catalogue. Only once loaded.
    std::optional<std::string_view> Find(std::string_view key) const;

    // For tests and diagnostics: the file that was loaded, empty if none.
    std::string LoadedFile() const;

private:
    std::string CatalogueName(const std::string &language) const;
    bool OpenCatalogue(const std::string &fileName);
    void Unload();

    const std::string name_;
    const std::shared_ptr<const EmbeddedCatalogues> embedded_;
    std::string directory_;
    std::string language_;
    bool needsLoading_ = true;
    bool loaded_ = false;
    std::string loadedFile_;
    MappedFile file_;
    std::optional<MoCatalogue> catalogue_;
};
