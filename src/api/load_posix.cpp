// Library start-up when the shared object is loaded.
#include "api/library.h"

namespace {

__attribute__((constructor)) void StartAtLoad()
{
    // Nothing stops the load of a shared object; a failed start leaves every
    // export answering its failure value.
    zqk::StartLibrary();
}

}  // namespace
