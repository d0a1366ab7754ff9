#pragma once

#include <string>

// A shared library opened at run time, by file name, from the places the program
// itself is linked to look (its run path first), and never closed: code of it
// may still run in threads it started. Opening the same name again gives the
// same library.
namespace nativelibrary {

// The library's handle, or nullptr with the reason in `error`.
void* open(const std::string& fileName, std::string& error);
// The address of an exported symbol, or nullptr.
void* symbol(void* library, const char* name);

} // namespace nativelibrary
