#include "NativeLibrary.h"

#include <dlfcn.h>

namespace nativelibrary {

// dlopen is called from the program's own code, so the program's run path
// applies; RTLD_LOCAL keeps the library's symbols out of later lookups.
void* open(const std::string& fileName, std::string& error)
{
    void* library = dlopen(fileName.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        const char* reason = dlerror();
        error = reason ? reason : "cannot be opened";
    }
    return library;
}

void* symbol(void* library, const char* name)
{
    return library ? dlsym(library, name) : nullptr;
}

} // namespace nativelibrary
