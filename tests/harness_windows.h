// What the harness's Windows body offers the Windows tests besides harness.h.
#pragma once

#include <string>

namespace meldtest {

// A path of the harness (UTF-8) for the wide-character calls.
std::wstring widepath(const std::string& cpath);

}  // namespace meldtest
