// The Windows body of the test harness: directories under the user's
// temporary folder, files through the wide-character calls, runs through
// CreateProcessW. The tool's executables lie beside the test program.
#include "harness.h"
#include "harness_windows.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <stdexcept>

#include <windows.h>

namespace meldtest {

std::wstring widepath(const std::string& cpath) {
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, cpath.data(), static_cast<int>(cpath.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, cpath.data(), static_cast<int>(cpath.size()), w.data(), n);
  return w;
}

namespace {

std::string utf8(const std::wstring& w) {
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
  std::string c(static_cast<size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), c.data(), n, nullptr, nullptr);
  return c;
}

DWORD attributesof(const std::string& cpath) { return ::GetFileAttributesW(widepath(cpath).c_str()); }

// Calls fremove until it succeeds: a run that just ended may hold its
// files and its current directory a moment longer.
template <class F>
void untilremoved(F fremove) {
  for (int ntry = 0; ntry < 100 && !fremove(); ++ntry) {
    const DWORD nerr = ::GetLastError();
    if (nerr != ERROR_SHARING_VIOLATION && nerr != ERROR_ACCESS_DENIED && nerr != ERROR_DIR_NOT_EMPTY) break;
    ::Sleep(20);
  }
}

// Removes the directory with everything in it; marks and the read-only
// attribute are cleared first, links are removed as themselves.
void removetree(const std::wstring& w) {
  WIN32_FIND_DATAW fd;
  const HANDLE hfind = ::FindFirstFileW((w + L"\\*").c_str(), &fd);
  if (hfind != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring cname = fd.cFileName;
      if (cname == L"." || cname == L"..") continue;
      const std::wstring cpath = w + L"\\" + cname;
      ::SetFileAttributesW(cpath.c_str(), FILE_ATTRIBUTE_NORMAL);
      const DWORD nattr = fd.dwFileAttributes;
      if ((nattr & FILE_ATTRIBUTE_DIRECTORY) != 0 && (nattr & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
        removetree(cpath);
      else if ((nattr & FILE_ATTRIBUTE_DIRECTORY) != 0)
        ::RemoveDirectoryW(cpath.c_str());
      else
        untilremoved([&] { return ::DeleteFileW(cpath.c_str()); });
    } while (::FindNextFileW(hfind, &fd));
    ::FindClose(hfind);
  }
  untilremoved([&] { return ::RemoveDirectoryW(w.c_str()); });
}

std::wstring programdir() {
  wchar_t cbuf[MAX_PATH];
  const DWORD n = ::GetModuleFileNameW(nullptr, cbuf, MAX_PATH);
  std::wstring w(cbuf, n);
  return w.substr(0, w.find_last_of(L"\\/") + 1);
}

// One argument of a command line, quoted so that CommandLineToArgvW (and
// the C runtime) give it back unchanged.
std::wstring quoted(const std::wstring& w) {
  if (!w.empty() && w.find_first_of(L" \t\"") == std::wstring::npos) return w;
  std::wstring c = L"\"";
  size_t nslashes = 0;
  for (const wchar_t ch : w) {
    if (ch == L'\\') {
      ++nslashes;
      continue;
    }
    c.append(ch == L'"' ? 2 * nslashes + 1 : nslashes, L'\\');
    nslashes = 0;
    c += ch;
  }
  c.append(2 * nslashes, L'\\');
  return c + L"\"";
}

// The processes that start began, by their id.
std::map<int, HANDLE> g_started;

HANDLE spawn(const std::string& cdir, const RunOptions& opt, HANDLE hout, HANDLE herr, int* ppid) {
  const std::wstring cexe = programdir() + (opt.bfolder ? L"meldimport-all.exe" : L"meldimport.exe");
  std::wstring cline = quoted(cexe);
  for (const auto& c : opt.cargs) cline += L" " + quoted(widepath(c));
  STARTUPINFOW si{};
  si.cb = sizeof si;
  if (hout != nullptr) {
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = hout;
    si.hStdError = herr;
  }
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(cexe.c_str(), cline.data(), nullptr, nullptr, hout != nullptr, CREATE_NO_WINDOW, nullptr,
                        widepath(cdir).c_str(), &si, &pi))
    throw std::runtime_error("cannot start " + utf8(cexe));
  ::CloseHandle(pi.hThread);
  *ppid = static_cast<int>(pi.dwProcessId);
  return pi.hProcess;
}

// The exit status of an ended process, -1 for one that was ended from outside.
int statusof(HANDLE hproc) {
  DWORD ncode = 0;
  return ::GetExitCodeProcess(hproc, &ncode) && ncode < 256 ? static_cast<int>(ncode) : -1;
}

}  // namespace

TempDir::TempDir() {
  wchar_t cbuf[MAX_PATH + 1];
  const DWORD n = ::GetTempPathW(MAX_PATH + 1, cbuf);
  static int ncount = 0;
  for (int ntry = 0; ntry < 1000; ++ntry) {
    const std::wstring w = std::wstring(cbuf, n) + L"meldtest." + std::to_wstring(::GetCurrentProcessId()) + L"." +
                           std::to_wstring(++ncount);
    if (::CreateDirectoryW(w.c_str(), nullptr)) {
      path = utf8(w);
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary directory");
}

TempDir::~TempDir() { removetree(widepath(path)); }

void writefile(const std::string& cpath, const std::string& cbytes) {
  const HANDLE h = ::CreateFileW(widepath(cpath).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  DWORD n = 0;
  ::WriteFile(h, cbytes.data(), static_cast<DWORD>(cbytes.size()), &n, nullptr);
  ::CloseHandle(h);
}

std::string readfrom(const std::string& cpath, size_t noff) {
  const HANDLE h = ::CreateFileW(widepath(cpath).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return "";
  std::string c;
  char cbuf[65536];
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(noff);
  DWORD n = 0;
  if (::ReadFile(h, cbuf, sizeof cbuf, &n, &o)) {
    do c.append(cbuf, n);
    while (::ReadFile(h, cbuf, sizeof cbuf, &n, nullptr) && n > 0);
  }
  ::CloseHandle(h);
  return c;
}

std::string readfile(const std::string& cpath) { return readfrom(cpath, 0); }

bool exists(const std::string& cpath) { return attributesof(cpath) != INVALID_FILE_ATTRIBUTES; }

size_t filesize(const std::string& cpath) {
  WIN32_FILE_ATTRIBUTE_DATA ad;
  if (!::GetFileAttributesExW(widepath(cpath).c_str(), GetFileExInfoStandard, &ad)) return 0;
  return (static_cast<size_t>(ad.nFileSizeHigh) << 32) | ad.nFileSizeLow;
}

std::string protocolof(const std::string& cdir) {
  const std::string cpath = cdir + "/prot.txt";
  const DWORD nattr = attributesof(cpath);
  return nattr != INVALID_FILE_ATTRIBUTES && (nattr & FILE_ATTRIBUTE_DIRECTORY) == 0 ? readfile(cpath) : "";
}

std::vector<std::string> entries(const std::string& cdir) {
  std::vector<std::string> cnames;
  WIN32_FIND_DATAW fd;
  const HANDLE hfind = ::FindFirstFileW((widepath(cdir) + L"\\*").c_str(), &fd);
  if (hfind == INVALID_HANDLE_VALUE) return cnames;
  do {
    const std::wstring cname = fd.cFileName;
    if (cname != L"." && cname != L"..") cnames.push_back(utf8(cname));
  } while (::FindNextFileW(hfind, &fd));
  ::FindClose(hfind);
  std::sort(cnames.begin(), cnames.end());
  return cnames;
}

void makedir(const std::string& cpath) { ::CreateDirectoryW(widepath(cpath).c_str(), nullptr); }

bool isplainfile(const std::string& cpath) {
  const DWORD nattr = attributesof(cpath);
  return nattr != INVALID_FILE_ATTRIBUTES &&
         (nattr & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_HIDDEN |
                   FILE_ATTRIBUTE_SYSTEM)) == 0;
}

// Windows files have no permission bits; a mark would hide the copy.
void copymode(const std::string&, const std::string&) {}

void openup(const std::string&) {}

namespace {

// 2001-09-09, in the 100-ns units since 1601 of a FILETIME.
constexpr unsigned long long NOLDTIME = (1000000000ULL + 11644473600ULL) * 10000000ULL;

}  // namespace

void setoldtimes(const std::string& cpath) {
  const HANDLE h = ::CreateFileW(widepath(cpath).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  const FILETIME t{static_cast<DWORD>(NOLDTIME), static_cast<DWORD>(NOLDTIME >> 32)};
  ::SetFileTime(h, nullptr, &t, &t);
  ::CloseHandle(h);
}

bool hasoldtimes(const std::string& cpath) {
  WIN32_FILE_ATTRIBUTE_DATA ad;
  if (!::GetFileAttributesExW(widepath(cpath).c_str(), GetFileExInfoStandard, &ad)) return false;
  const auto value = [](const FILETIME& t) { return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  return value(ad.ftLastAccessTime) == NOLDTIME && value(ad.ftLastWriteTime) == NOLDTIME;
}

namespace {

const wchar_t* const CRECORDSTREAM = L":meldimport.append";

// Whether the volume that holds the file has named streams (NTFS; Wine
// has none).
bool hasstreams(const std::string& cpath) {
  const HANDLE h = ::CreateFileW(widepath(cpath).c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD nflags = 0;
  const bool bstreams = ::GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &nflags, nullptr, 0) &&
                        (nflags & FILE_NAMED_STREAMS) != 0;
  ::CloseHandle(h);
  return bstreams;
}

}  // namespace

bool setappendrecord(const std::string& ctable, const std::string& crecord) {
  if (!hasstreams(ctable)) return false;
  writefile(ctable + utf8(CRECORDSTREAM), crecord);
  return readfile(ctable + utf8(CRECORDSTREAM)) == crecord;
}

bool hasappendrecord(const std::string& ctable) { return hasstreams(ctable) && exists(ctable + utf8(CRECORDSTREAM)); }

int start(const std::string& cdir, const RunOptions& opt) {
  int npid = 0;
  const HANDLE hproc = spawn(cdir, opt, nullptr, nullptr, &npid);
  g_started[npid] = hproc;
  return npid;
}

int waitexit(int pid) {
  const auto it = g_started.find(pid);
  if (it == g_started.end()) return -1;
  ::WaitForSingleObject(it->second, INFINITE);
  const int nstatus = statusof(it->second);
  ::CloseHandle(it->second);
  g_started.erase(it);
  return nstatus;
}

RunResult run(const std::string& cdir, const RunOptions& opt) {
  RunResult res;
  // Output goes to files, not pipes, so that a chatty child cannot block.
  const TempDir dout;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  const auto outfile = [&](const char* cname) {
    return ::CreateFileW(widepath(dout / cname).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  };
  const HANDLE hout = outfile("out"), herr = outfile("err");
  const auto t0 = std::chrono::steady_clock::now();
  int npid = 0;
  const HANDLE hproc = spawn(cdir, opt, hout, herr, &npid);
  if (::WaitForSingleObject(hproc, static_cast<DWORD>(opt.ntimeout * 1000)) == WAIT_TIMEOUT) {
    res.btimedout = true;
    ::TerminateProcess(hproc, 999);
    ::WaitForSingleObject(hproc, INFINITE);
  }
  res.nseconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  res.nstatus = statusof(hproc);
  ::CloseHandle(hproc);
  ::CloseHandle(hout);
  ::CloseHandle(herr);
  res.cstderr = untimed(readfile(dout / "err"));
  res.coutput = untimed(readfile(dout / "out")) + res.cstderr;
  return res;
}

}  // namespace meldtest
