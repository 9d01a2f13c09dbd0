// What the two parts of the Windows body of the file layer share. Included
// by them only.
#pragma once

#include <string>
#include <string_view>

namespace meld {

// A name of this layer (UTF-8) for the wide-character calls; empty where it
// is no name at all (bytes that are not UTF-8, a byte 0), which every call
// refuses.
std::wstring widename(std::string_view cname);

// A UTF-16 name as UTF-8; false where it holds a lone surrogate, which no
// byte string of this layer can name.
bool utf8name(const wchar_t* pname, std::string* pcname);

}  // namespace meld
