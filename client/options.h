// Command-line options of relvoclient and the texts it prints.
#pragma once

#include <string>

namespace relvo {

// True when some element of argv (argv[0] included) equals `option` byte for
// byte. `value` gets the element after it, leading blanks removed, or "".
bool FindOption(int argc, char** argv, const char* option, std::string& value);

// "relvoclient 2.0.0.19\n", the notice line and a line end.
std::string VersionText();

// The version text, then the framed option list.
std::string UsageText();

}  // namespace relvo
