// Prints the library-message translation of each argument, one per line:
// a small program the embedding tool can be run on in tests.

#include "resourcestring.h"

#include <exception>
#include <iostream>

int main(int argc, char **argv)
{
    InitializeTranslation(ResolvedProgramPath());
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        try {
            std::cout << TranslateResourceString(argv[i]) << "\n";
        } catch (const std::exception &error) {
            std::cout << "error: " << error.what() << "\n";
            status = 1;
        }
    }
    FinalizeTranslation();
    return status;
}
