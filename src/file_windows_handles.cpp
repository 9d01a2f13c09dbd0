// The handles of the Windows body: the table of the layer's small numbers
// for Windows handles, their locks, and the clock that every wait of the
// body is measured by.
#include "file_windows.h"

#include <algorithm>
#include <vector>

namespace meld {

double monotonic() {
  LARGE_INTEGER nfreq, nnow;
  ::QueryPerformanceFrequency(&nfreq);
  ::QueryPerformanceCounter(&nnow);
  return static_cast<double>(nnow.QuadPart) / static_cast<double>(nfreq.QuadPart);
}

bool sleepinbound(DWORD* pnms) {
  const double nleft = secondsleft();
  if (nleft <= 0) return false;
  ::Sleep(std::min<DWORD>(*pnms, static_cast<DWORD>(nleft * 1000) + 1));
  *pnms = std::min<DWORD>(*pnms * 2, 16);
  return true;
}

// ---- The table of handles.

namespace {

constexpr int NSTANDARD = 3;  // handles 0, 1 and 2
std::vector<SLOT> g_slots;    // handle n is g_slots[n - NSTANDARD]

}  // namespace

int addslot(HANDLE h) {
  SLOT s;
  s.h = h;
  for (size_t n = 0; n < g_slots.size(); ++n) {
    if (g_slots[n].h == INVALID_HANDLE_VALUE) {
      g_slots[n] = s;
      return static_cast<int>(n) + NSTANDARD;
    }
  }
  g_slots.push_back(s);
  return static_cast<int>(g_slots.size()) - 1 + NSTANDARD;
}

SLOT* slotof(int nhandle) {
  if (nhandle < NSTANDARD || nhandle - NSTANDARD >= static_cast<int>(g_slots.size())) return nullptr;
  SLOT* p = &g_slots[static_cast<size_t>(nhandle - NSTANDARD)];
  return p->h == INVALID_HANDLE_VALUE ? nullptr : p;
}

// A program without a console (meldimport.exe started from a mail program
// or Explorer) may have no standard handles at all.
HANDLE handleof(int nhandle) {
  static const DWORD NSTD[NSTANDARD] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  if (nhandle >= 0 && nhandle < NSTANDARD) {
    const HANDLE h = ::GetStdHandle(NSTD[nhandle]);
    return h == nullptr ? INVALID_HANDLE_VALUE : h;
  }
  const SLOT* s = slotof(nhandle);
  return s == nullptr ? INVALID_HANDLE_VALUE : s->h;
}

// ---- Locks: LockFileEx on the whole of any file. On Windows a lock is
// mandatory: no other handle may read or write what it covers.

bool trylock(SLOT* s, bool bexclusive) {
  OVERLAPPED o{};
  if (!::LockFileEx(s->h, (bexclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0) | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD,
                    MAXDWORD, &o))
    return false;
  ++s->nlocks;
  s->bexclusive = s->bexclusive || bexclusive;
  return true;
}

void unlockonce(SLOT* s) {
  OVERLAPPED o{};
  if (s->nlocks > 0 && ::UnlockFileEx(s->h, 0, MAXDWORD, MAXDWORD, &o)) {
    --s->nlocks;
    s->bexclusive = false;
  }
}

// LockFileEx without waiting, tried again after short sleeps while another
// handle holds a lock.
bool lockwait(int nhandle) {
  SLOT* s = slotof(nhandle);
  if (s == nullptr) return false;
  if (s->bexclusive) return true;
  DWORD nms = 1;
  for (;;) {
    if (trylock(s, true)) return true;
    if (failed() != FStatus::Held || !sleepinbound(&nms)) return false;
  }
}

}  // namespace meld
