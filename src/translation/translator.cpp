#include "translator.h"

#include "exception.h"
#include "textforms.h"

#include <cstring>
#include <mutex>

TTranslator::TTranslator(std::string baseDirectory, std::string language,
                         std::shared_ptr<const EmbeddedCatalogues> embedded)
    : language_(std::move(language)), baseDirectory_(std::move(baseDirectory)),
      embedded_(std::move(embedded))
{
    domains_.push_back(std::make_unique<TDomain>(textDomain_, baseDirectory_, language_, embedded_));
}

TDomain *TTranslator::FindDomain(std::string_view name) const
{
    for (const auto &domain : domains_)
        if (domain->Name() == name)
            return domain.get();
    return nullptr;
}

TDomain &TTranslator::DomainFor(std::string_view name)
{
    // Caller holds the write side.
    if (TDomain *domain = FindDomain(name))
        return *domain;
    domains_.push_back(std::make_unique<TDomain>(std::string(name), baseDirectory_, language_, embedded_));
    return *domains_.back();
}

std::string TTranslator::TranslateText(std::string_view domainName, std::string_view text)
{
    std::shared_lock lock(lock_);
    for (;;) {
        if (!enabled_)
            return std::string(text);
        // The catalogue's "" entry is its header, never a message's translation.
        if (text.empty())
            return {};
        const TDomain *domain = FindDomain(domainName);
        if (domain != nullptr && !domain->NeedsLoading())
            return TranslateLoaded(*domain, text);
        // Binding a new domain and the first lookup's loading change the
        // state: they need the write side, then the lookup starts over.
        lock.unlock();
        {
            std::unique_lock write(lock_);
            TDomain &bound = DomainFor(domainName);
            if (bound.NeedsLoading())
                bound.Load();
        }
        lock.lock();
    }
}

std::string TTranslator::TranslateLoaded(const TDomain &domain, std::string_view text)
{
    // Our 8-bit strings are UTF-8 already, so encoding is a no-op and
    // decoding means checking the bytes are UTF-8. A translation that is
    // not counts as a failed decode: an empty result, reported below.
    std::string withoutCr;
    std::string_view key = text;
    if (std::memchr(text.data(), '\r', text.size()) != nullptr) {
        withoutCr = RemoveCarriageReturns(text);
        key = withoutCr;
    }
    // The result is built once, straight from the mapping.
    std::string result;
    if (const auto translation = domain.Find(key))
        result = DecodeTranslation(*translation);
    else
        result = RestoreCrLf(key);
    if (result.empty())
        throw Exception("Error: Could not translate " + std::string(text) +
                        ". Probably because the mo file doesn't contain utf-8 encoded translations.");
    return result;
}

void TTranslator::BindTextDomain(const std::string &domain, const std::string &directory)
{
    std::unique_lock lock(lock_);
    DomainFor(domain).SetDirectory(directory);
}

void TTranslator::SetLanguage(const std::string &language)
{
    std::unique_lock lock(lock_);
    language_ = language;
    for (auto &domain : domains_)
        domain->SetLanguage(language);
}

std::string TTranslator::Language() const
{
    std::shared_lock lock(lock_);
    return language_;
}

void TTranslator::SetEnabled(bool enabled)
{
    std::unique_lock lock(lock_);
    enabled_ = enabled;
}

bool TTranslator::Enabled() const
{
    std::shared_lock lock(lock_);
    return enabled_;
}

void TTranslator::SetTextDomain(const std::string &domain)
{
    std::unique_lock lock(lock_);
    textDomain_ = domain;
}

std::string TTranslator::TextDomain() const
{
    std::shared_lock lock(lock_);
    return textDomain_;
}

std::string TTranslator::BaseDirectory() const
{
    std::shared_lock lock(lock_);
    return baseDirectory_;
}

std::string TTranslator::LoadedFile(std::string_view domain) const
{
    std::shared_lock lock(lock_);
    const TDomain *found = FindDomain(domain);
    return found != nullptr ? found->LoadedFile() : std::string();
}
