#pragma once

#include "domain.h"

#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

// The process's catalogue lookup: the language, the catalogue base
// directory and the domains bound so far. Lookups take the read side of
// the lock, changes the write side.
class TTranslator {
public:
    TTranslator(std::string baseDirectory, std::string language,
                std::shared_ptr<const EmbeddedCatalogues> embedded = nullptr);

    // The translation of text in domain, with CR LF line ends; the text
    // itself (line ends likewise) when the catalogue lacks it. A domain not
    // bound yet is bound to the base directory.
    std::string TranslateText(std::string_view domain, std::string_view text);
    std::string Translate(std::string_view text) { return TranslateText(TextDomain(), text); }

    void BindTextDomain(const std::string &domain, const std::string &directory);
    void SetLanguage(const std::string &language);
    std::string Language() const;
    void SetEnabled(bool enabled);
    bool Enabled() const;
    void SetTextDomain(const std::string &domain);
    std::string TextDomain() const;
    std::string BaseDirectory() const;

    // The catalogue file a domain has loaded, empty when it has none (yet).
    std::string LoadedFile(std::string_view domain) const;

private:
    // Caller holds the read side and the domain is loaded.
    static std::string TranslateLoaded(const TDomain &domain, std::string_view text);
    TDomain *FindDomain(std::string_view name) const;
    TDomain &DomainFor(std::string_view name);

    mutable std::shared_mutex lock_;
    bool enabled_ = true;
    std::string textDomain_ = "default";
    std::string language_;
    std::string baseDirectory_;
    std::shared_ptr<const EmbeddedCatalogues> embedded_;
    std::vector<std::unique_ptr<TDomain>> domains_;
};
