// Names of the Windows body: the layer's UTF-8 names as the wide names of
// the Windows API and back, and the names that reach a device.
#include "file_windows.h"

namespace meld {

std::wstring widename(std::string_view cname) {
  if (cname.empty() || cname.size() > 32767 || cname.find('\0') != std::string_view::npos) return {};
  const int nsize = static_cast<int>(cname.size());
  const int nwide = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, cname.data(), nsize, nullptr, 0);
  if (nwide <= 0) return {};
  std::wstring w(static_cast<size_t>(nwide), L'\0');
  ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, cname.data(), nsize, w.data(), nwide);
  return w;
}

bool utf8name(const wchar_t* pname, std::string* pcname) {
  pcname->clear();
  const int nbytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pname, -1, nullptr, 0, nullptr, nullptr);
  if (nbytes <= 0) return false;
  pcname->resize(static_cast<size_t>(nbytes));
  ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, pname, -1, pcname->data(), nbytes, nullptr, nullptr);
  pcname->pop_back();  // the terminating 0
  return true;
}

// True where the name reaches a device rather than a file: CON, NUL, COM1,
// ... (with an extension or a directory part too, on the versions of
// Windows that keep that rule), a pipe or anything else in the device
// namespace \\.\. GetFullPathNameW applies the system's own rule; of the
// \\?\ names, which it leaves alone, only those of a drive or a share are
// files. CreateFileW itself opens the console for CONIN$ and CONOUT$.
bool isdevice(const std::wstring& w) {
  const size_t nbase = w.find_last_of(L"\\/:") + 1;  // 0 where there is no separator
  if (::_wcsicmp(w.c_str() + nbase, L"CONIN$") == 0 || ::_wcsicmp(w.c_str() + nbase, L"CONOUT$") == 0) return true;
  if (w.size() >= 4 && (w[0] == L'\\' || w[0] == L'/') && (w[1] == L'\\' || w[1] == L'/') && w[2] == L'?' &&
      (w[3] == L'\\' || w[3] == L'/')) {
    const std::wstring crest = w.substr(4);
    const bool bdrive = crest.size() >= 3 && crest[1] == L':' && (crest[2] == L'\\' || crest[2] == L'/');
    const bool bshare = crest.size() >= 4 && ::_wcsnicmp(crest.c_str(), L"UNC", 3) == 0 && (crest[3] == L'\\' || crest[3] == L'/');
    return !bdrive && !bshare;
  }
  const DWORD nfull = ::GetFullPathNameW(w.c_str(), 0, nullptr, nullptr);
  if (nfull == 0) return true;  // not a name the system takes: never opened
  std::wstring cfull(nfull, L'\0');
  const DWORD nlen = ::GetFullPathNameW(w.c_str(), nfull, cfull.data(), nullptr);
  if (nlen == 0 || nlen >= nfull) return true;
  return cfull.compare(0, 4, L"\\\\.\\") == 0;
}


}  // namespace meld
