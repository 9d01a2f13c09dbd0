// What the parts of the Windows body of the file layer share. Included by
// them only.
#pragma once

#include <string>
#include <string_view>

#include <windows.h>

#include "file.h"
#include "file_common.h"

namespace meld {

// A name of this layer (UTF-8) for the wide-character calls; empty where it
// is no name at all (bytes that are not UTF-8, a byte 0), which every call
// refuses.
std::wstring widename(std::string_view cname);

// A UTF-16 name as UTF-8; false where it holds a lone surrogate, which no
// byte string of this layer can name.
bool utf8name(const wchar_t* pname, std::string* pcname);

// The part of a name before its last separator, and the part after it.
void splitname(std::string_view cname, std::string_view* pcdir, std::string_view* pcbase);

// The status that a failed call's GetLastError() means (one mapping for the body).
FStatus statusof(DWORD nerr);

// The same for the last call that failed.
inline FStatus failed() { return statusof(::GetLastError()); }

// A Windows handle that closes itself, so that no early return can leak
// it; release() hands it on.
class HOWNED {
 public:
  explicit HOWNED(HANDLE h) : m_h(h) {}
  HOWNED(const HOWNED&) = delete;
  HOWNED& operator=(const HOWNED&) = delete;
  ~HOWNED() {
    if (m_h != INVALID_HANDLE_VALUE) ::CloseHandle(m_h);
  }
  HANDLE get() const { return m_h; }
  HANDLE release() {
    const HANDLE h = m_h;
    m_h = INVALID_HANDLE_VALUE;
    return h;
  }

 private:
  HANDLE m_h;
};

// Readers and writers of every kind may share the file.
constexpr DWORD NSHAREALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// True where the name reaches a device rather than a file (see file_windows_names.cpp).
bool isdevice(const std::wstring& w);

// A handle of a disk file that is no directory.
bool isdiskfile(HANDLE h);

// The volume and the file index: one file, whatever name reaches it.
struct FILEID {
  DWORD nvolume = 0, nhigh = 0, nlow = 0;
  bool operator==(const FILEID&) const = default;
};

// The identity of what the name names now; directories too.
bool idofname(const std::wstring& w, FILEID* pid);

// One short sleep of a wait that polls, before the run's bound; false once
// the bound is reached. The sleeps grow from 1 to 16 ms.
bool sleepinbound(DWORD* pnms);

// ---- The table of handles: the layer's small numbers for Windows handles.

struct SLOT {
  HANDLE h = INVALID_HANDLE_VALUE;
  int nlocks = 0;           // LockFileEx locks held through it, undone at FCLOSE
  bool bexclusive = false;  // one of them is exclusive
  std::wstring crecord;     // the table's record stream (see FAPPENDSYNC); empty where none
};

// A handle of this layer for h, which the table owns from now on.
int addslot(HANDLE h);

// The slot of a handle of this layer; nullptr for none (and for 0, 1, 2).
SLOT* slotof(int nhandle);

// The Windows handle behind a handle of this layer, standard ones too;
// INVALID_HANDLE_VALUE for none.
HANDLE handleof(int nhandle);

// A lock on the whole file without waiting; of a range locked exclusively
// and shared through one handle, the first unlock ends the exclusive lock.
bool trylock(SLOT* s, bool bexclusive);
void unlockonce(SLOT* s);

}  // namespace meld
