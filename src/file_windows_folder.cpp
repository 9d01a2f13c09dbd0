// The Windows body of the folder import's part of the file layer:
// directories, moves that never replace, the claim directory's locks, the
// terminal; and the run's identity, which Windows keeps as it is.
#include "file_common.h"
#include "file_windows.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace meld {

// Windows has no counterpart of root taking another user's identity: the
// run keeps the rights of the user who started it.
FStatus FTAKEOWNER() { return FStatus::Okay; }

// Never asked: no run here takes another user's identity.
bool FOWNEDALONE(std::string_view) { return true; }

bool FISDIR(std::string_view cname) {
  const std::wstring w = widename(cname);
  if (w.empty() || isdevice(w)) return false;
  const DWORD nattr = ::GetFileAttributesW(w.c_str());
  return nattr != INVALID_FILE_ATTRIBUTES && (nattr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FSAMEENTRY(std::string_view cname1, std::string_view cname2) {
  const std::wstring w1 = widename(cname1), w2 = widename(cname2);
  FILEID id1, id2;
  return !w1.empty() && !w2.empty() && !isdevice(w1) && !isdevice(w2) && idofname(w1, &id1) && idofname(w2, &id2) &&
         id1 == id2;
}

// A new directory inherits its parent's access rights: private where that is.
bool FMAKEDIR(std::string_view cname, bool) {
  const std::wstring w = widename(cname);
  if (w.empty() || isdevice(w)) return false;
  return ::CreateDirectoryW(w.c_str(), nullptr) || (failed() == FStatus::Exists && FISDIR(cname));
}

std::optional<std::vector<std::string>> FLISTFILES(std::string_view cdir) {
  std::wstring w = widename(cdir);
  if (w.empty() || isdevice(w)) return std::nullopt;
  if (w.back() != L'\\' && w.back() != L'/') w += L'\\';
  w += L'*';
  std::vector<std::string> cnames;
  WIN32_FIND_DATAW fd;
  const HANDLE hfind = ::FindFirstFileW(w.c_str(), &fd);
  if (hfind == INVALID_HANDLE_VALUE) {
    if (failed() == FStatus::Missing) return cnames;  // an empty drive root
    return std::nullopt;
  }
  do {
    // Directories are no mails; neither are entries marked hidden or
    // system, which the directory search counts as absent. A name that no
    // byte string can hold (a lone surrogate) cannot be claimed.
    std::string cname;
    if ((fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0 &&
        utf8name(fd.cFileName, &cname))
      cnames.push_back(cname);
  } while (::FindNextFileW(hfind, &fd));
  const bool bended = ::GetLastError() == ERROR_NO_MORE_FILES;
  ::FindClose(hfind);
  if (!bended) return std::nullopt;
  return cnames;
}

FStatus FMOVE(std::string_view cfrom, std::string_view cto) {
  const std::wstring wfrom = widename(cfrom), wto = widename(cto);
  if (wfrom.empty() || wto.empty() || isdevice(wfrom) || isdevice(wto)) return FStatus::Failed;
  // A rename on the volume (no copy), never over an existing entry.
  if (::MoveFileExW(wfrom.c_str(), wto.c_str(), MOVEFILE_WRITE_THROUGH)) return FStatus::Okay;
  const DWORD nerr = ::GetLastError();
  if (statusof(nerr) == FStatus::Exists) return FStatus::Exists;
  return nerr == ERROR_FILE_NOT_FOUND ? FStatus::Missing : FStatus::Failed;
}

// Where the volume lets a directory's entries be flushed through a handle
// of it, they are; a move made with MOVEFILE_WRITE_THROUGH needs no more.
bool FSYNCDIR(std::string_view cdir) {
  const std::wstring w = widename(cdir);
  if (w.empty() || isdevice(w)) return false;
  const HOWNED h(::CreateFileW(w.c_str(), GENERIC_WRITE, NSHAREALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                               nullptr));
  // NTFS keeps its directory entries in its journal: where a directory
  // cannot be opened or flushed for writing, there is nothing more to do.
  if (h.get() == INVALID_HANDLE_VALUE) return true;
  return ::FlushFileBuffers(h.get()) || ::GetLastError() == ERROR_ACCESS_DENIED || failed() == FStatus::Unsupported;
}

// Links are followed where they lie; a mail that is one is read through it.
std::string FLINKPATH(std::string_view cname) { return std::string(cname); }

int FOPENDIR(std::string_view cname) {
  if (!FISDIR(cname)) return -1;
  const std::wstring w = widename(std::string(cname) + "/.lock");
  HOWNED h(::CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, NSHAREALL, nullptr, OPEN_ALWAYS,
                         FILE_ATTRIBUTE_HIDDEN, nullptr));
  return h.get() != INVALID_HANDLE_VALUE && isdiskfile(h.get()) ? addslot(h.release()) : -1;
}

bool FLOCKALONE(int nhandle) {
  SLOT* s = slotof(nhandle);
  return s != nullptr && trylock(s, true);
}

bool FLOCKSHARED(int nhandle) {
  SLOT* s = slotof(nhandle);
  if (s == nullptr) return false;
  DWORD nms = 1;
  for (;;) {
    const bool bexclusive = s->bexclusive;
    if (trylock(s, false)) {
      // The shared lock is there before the exclusive one goes: no other
      // run can find itself alone in between.
      if (bexclusive) unlockonce(s);
      return true;
    }
    if (failed() != FStatus::Held || !sleepinbound(&nms)) return false;
  }
}

bool FISTERMINAL(int nhandle) {
  const HANDLE h = handleof(nhandle);
  DWORD nmode = 0;
  return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &nmode);
}

// A hidden file made and removed again in the directory: its rights, its
// read-only attribute and a read-only volume all decide, as for the moves.
bool FWRITABLEDIR(std::string_view cdir) {
  const std::wstring w = widename(std::string(cdir) + "/.meldimport-" + std::to_string(::GetCurrentProcessId()));
  if (w.empty()) return false;
  HOWNED h(::CreateFileW(w.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
  return h.get() != INVALID_HANDLE_VALUE;
}

std::string FCURRENTDIR() {
  wchar_t wbuf[32768];
  const DWORD n = ::GetCurrentDirectoryW(32768, wbuf);
  std::string c;
  return n > 0 && n < 32768 && utf8name(wbuf, &c) ? c : std::string(".");
}

std::string FNOW() {
  SYSTEMTIME st;
  ::GetLocalTime(&st);
  char cbuf[32];
  const int nvals[] = {st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond};
  std::string c;
  for (int n = 0; n < 6; ++n) {
    std::snprintf(cbuf, sizeof cbuf, n == 0 ? "%04d" : "%02d", nvals[n]);
    c += n == 0 ? "" : n == 3 ? " " : n < 3 ? "-" : ":";
    c += cbuf;
  }
  return c;
}

// Committed memory is zero.
void* FBIGBLOCK(size_t nbytes) { return ::VirtualAlloc(nullptr, nbytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE); }

void FFREEBLOCK(void* p, size_t) {
  if (p != nullptr) ::VirtualFree(p, 0, MEM_RELEASE);
}

// Written through to the disk, then moved over the old file in one step;
// a program that holds the old one open without letting it be deleted
// (a browser) keeps it: Held.
FStatus FPUTFILE(std::string_view cname, std::string_view ctext) {
  const std::wstring w = widename(cname);
  std::string_view cdir, cbase;
  splitname(cname, &cdir, &cbase);
  // Of this run's own: another run may put the page in place at the same time.
  const std::wstring wtemp = widename(tempname(cdir, std::string(cbase) + "." + std::to_string(::GetCurrentProcessId())));
  if (w.empty() || wtemp.empty() || isdevice(w)) return FStatus::Failed;
  bool bwritten = false;
  {
    HOWNED h(::CreateFileW(wtemp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() == INVALID_HANDLE_VALUE) return FStatus::Failed;
    bwritten = true;
    for (size_t noff = 0; bwritten && noff < ctext.size();) {
      DWORD ndone = 0;
      const DWORD nwant = static_cast<DWORD>(std::min<size_t>(ctext.size() - noff, 1 << 30));
      bwritten = ::WriteFile(h.get(), ctext.data() + noff, nwant, &ndone, nullptr) && ndone > 0;
      noff += ndone;
    }
    bwritten = bwritten && ::FlushFileBuffers(h.get());
  }
  if (bwritten && ::MoveFileExW(wtemp.c_str(), w.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return FStatus::Okay;
  const FStatus nres = bwritten && (::GetLastError() == ERROR_SHARING_VIOLATION || ::GetLastError() == ERROR_ACCESS_DENIED)
                           ? FStatus::Held
                           : FStatus::Failed;
  ::DeleteFileW(wtemp.c_str());
  return nres;
}

std::optional<FINFO> FINFOOF(std::string_view cname) {
  const std::wstring w = widename(cname);
  WIN32_FILE_ATTRIBUTE_DATA a;
  if (w.empty() || isdevice(w) || !::GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &a) ||
      (a.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
    return std::nullopt;
  const unsigned long long ntime = static_cast<unsigned long long>(a.ftLastWriteTime.dwHighDateTime) << 32 | a.ftLastWriteTime.dwLowDateTime;
  const unsigned long long nsize = static_cast<unsigned long long>(a.nFileSizeHigh) << 32 | a.nFileSizeLow;
  return FINFO{static_cast<long long>(ntime / 10000000ULL), static_cast<long long>(nsize)};
}

}  // namespace meld
