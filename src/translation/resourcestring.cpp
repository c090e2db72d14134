#include "resourcestring.h"

#include "embedded.h"
#include "karvenzop_config.h"
#include "language.h"
#include "messagetranslation.h"
#include "translator.h"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

namespace {

// Function-local so that messages raised during static initialisation of
// other libraries still find a valid (empty) state.
struct Lookup {
    std::shared_mutex lock;
    std::unique_ptr<TTranslator> translator;
    std::vector<std::string> domains{"default"};
};

Lookup &State()
{
    static Lookup state;
    return state;
}

} // namespace

std::string TranslateResourceString(std::string_view text)
{
    Lookup &state = State();
    std::shared_lock lock(state.lock);
    if (!state.translator)
        return std::string(text);
    for (const std::string &domain : state.domains) {
        std::string translated = state.translator->TranslateText(domain, text);
        if (translated != text)
            return translated;
    }
    return std::string(text);
}

void AddResourceStringDomain(const std::string &name)
{
    Lookup &state = State();
    std::unique_lock lock(state.lock);
    // Each serial port adds its domain; repeats would only slow every lookup.
    if (std::find(state.domains.begin(), state.domains.end(), name) == state.domains.end())
        state.domains.push_back(name);
}

void InitializeTranslation(const std::string &programPath)
{
    auto embedded = std::make_shared<EmbeddedCatalogues>();
    embedded->programPath = programPath;
    embedded->programDirectory = std::filesystem::path(programPath).parent_path().string();
    embedded->index = ScanProgramFile(programPath);
    if (embedded->index.empty())
        embedded.reset();
    // Catalogues beside the program (build folder, unpacked copy) win over
    // the installed ones.
    const std::filesystem::path programDirectory = std::filesystem::path(programPath).parent_path();
    std::filesystem::path directory = programDirectory / "locale";
    const std::filesystem::path installed = (programDirectory / KZ_CATALOGUE_DIR_FROM_PROGRAM).lexically_normal();
    std::error_code error;
    if (!std::filesystem::is_directory(directory, error) && std::filesystem::is_directory(installed, error))
        directory = installed;
    auto translator = std::make_unique<TTranslator>(directory.string(), ChooseLanguageFromEnvironment(),
                                                    std::move(embedded));

    Lookup &state = State();
    std::unique_lock lock(state.lock);
    state.translator = std::move(translator);
    if (state.domains.empty() || state.domains.front() != "default")
        state.domains.insert(state.domains.begin(), "default");
    SetMessageTranslator(&TranslateResourceString);
}

void FinalizeTranslation()
{
    Lookup &state = State();
    std::unique_ptr<TTranslator> released;
    std::unique_lock lock(state.lock);
    released = std::move(state.translator);
}

std::string TranslateText(std::string_view domain, std::string_view text)
{
    Lookup &state = State();
    std::shared_lock lock(state.lock);
    if (!state.translator)
        return std::string(text);
    return state.translator->TranslateText(domain, text);
}
