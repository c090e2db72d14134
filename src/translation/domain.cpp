#include "domain.h"

#include "exception.h"

#include <sys/stat.h>

namespace {

bool RegularFileExists(const std::string &name)
{
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string WithTrailingSeparator(std::string directory)
{
    if (directory.empty() || directory.back() != '/')
        directory.push_back('/');
    return directory;
}

} // namespace

TDomain::TDomain(std::string name, std::string directory, std::string language,
                 std::shared_ptr<const EmbeddedCatalogues> embedded)
    : name_(std::move(name)), embedded_(std::move(embedded)),
      directory_(WithTrailingSeparator(std::move(directory))), language_(std::move(language))
{
}

void TDomain::SetDirectory(std::string directory)
{
    directory_ = WithTrailingSeparator(std::move(directory));
    Unload();
    needsLoading_ = true;
}

void TDomain::SetLanguage(std::string language)
{
    language_ = std::move(language);
    Unload();
    needsLoading_ = true;
}

std::string TDomain::LoadedFile() const
{
    return loadedFile_;
}

std::optional<std::string_view> TDomain::Find(std::string_view key) const
{
    if (!loaded_)
        return std::nullopt;
    return catalogue_->Find(key);
}

std::string TDomain::CatalogueName(const std::string &language) const
{
    return directory_ + language + "/LC_MESSAGES/" + name_ + ".mo";
}

void TDomain::Unload()
{
    catalogue_.reset();
    file_ = MappedFile();
    loaded_ = false;
    loadedFile_.clear();
}

void TDomain::Load()
{
    // Cleared first: a catalogue that fails to load raises its error once
    // and then counts as absent, instead of replacing every later message
    // with the same error.
    needsLoading_ = false;
    Unload();
    if (OpenCatalogue(CatalogueName(language_)))
        return;
    if (language_.size() > 2)
        OpenCatalogue(CatalogueName(language_.substr(0, 2)));
}

bool TDomain::OpenCatalogue(const std::string &fileName)
{
    const EmbeddedFile *inside = nullptr;
    if (embedded_ != nullptr) {
        std::string prefix = WithTrailingSeparator(embedded_->programDirectory);
        if (fileName.compare(0, prefix.size(), prefix) == 0) {
            const auto at = embedded_->index.find(fileName.substr(prefix.size()));
            if (at != embedded_->index.end())
                inside = &at->second;
        }
    }
    if (inside == nullptr && !RegularFileExists(fileName))
        return false;

    MappedFile mapped = inside != nullptr
        ? MappedFile::Map(embedded_->programPath, inside->offset, inside->size)
        : MappedFile::Map(fileName);
    auto catalogue = MoCatalogue::Parse(mapped.Bytes());
    if (!catalogue)
        throw Exception("This file is not a valid GNU gettext mo file: " + fileName);
    file_ = std::move(mapped);
    catalogue_ = std::move(catalogue);
    loaded_ = true;
    loadedFile_ = fileName;
    return true;
}
