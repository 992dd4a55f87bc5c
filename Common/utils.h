// Process start-up helpers.
#pragma once

#include <string>

namespace libmo {

// Full path of the running executable; empty when the system cannot tell.
std::string GetModulePath();

// Makes the executable's folder the current directory. Throws (with the
// place "libmo::SetCurrentDir") when the folder cannot be entered.
void SetCurrentDir();

// The folder part of `path` with its trailing separator ('\' or '/'); empty
// when `path` has no separator.
std::string FolderOf(const std::string& path);

}  // namespace libmo
