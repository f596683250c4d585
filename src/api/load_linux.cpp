// Library start-up when the shared object is loaded.
#include "api/library.h"

namespace {

__attribute__((constructor)) void StartAtLoad()
{
    // Nothing stops a load on Linux; a failed start leaves every export
    // answering its failure value.
    zqk::StartLibrary();
}

}  // namespace
