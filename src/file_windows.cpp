// The Windows body of the file layer: file.h on the Windows API. Names are
// passed to the wide-character calls; contents go through ReadFile and
// WriteFile only, so no C runtime stream or text mode ever sees a byte.
// Handles of this layer are small numbers for the Windows handles in a table
// of this file: 0, 1 and 2 stand for standard input, output and error.
#include "file.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <windows.h>

#include "file_common.h"
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

namespace {

// ---- Time and the run's one bound on waiting.

double monotonic() {
  LARGE_INTEGER nfreq, nnow;
  ::QueryPerformanceFrequency(&nfreq);
  ::QueryPerformanceCounter(&nnow);
  return static_cast<double>(nnow.QuadPart) / static_cast<double>(nfreq.QuadPart);
}

// The run's bound on all waiting, in monotonic seconds; set by FSETWAIT,
// else ten seconds from the first wait.
double g_ndeadline = 0;

double secondsleft() {
  if (g_ndeadline == 0) g_ndeadline = monotonic() + 10;
  return g_ndeadline - monotonic();
}

// One short sleep of a wait that polls, before the bound ndeadline; false
// once the bound is reached. The sleeps grow from 1 to 16 ms.
bool sleepuntil(double ndeadline, DWORD* pnms) {
  const double nleft = ndeadline - monotonic();
  if (nleft <= 0) return false;
  ::Sleep(std::min<DWORD>(*pnms, static_cast<DWORD>(nleft * 1000) + 1));
  *pnms = std::min<DWORD>(*pnms * 2, 16);
  return true;
}

bool sleepinbound(DWORD* pnms) { return sleepuntil(monotonic() + secondsleft(), pnms); }

// ---- The table of handles.

struct SLOT {
  HANDLE h = INVALID_HANDLE_VALUE;
  int nlocks = 0;           // LockFileEx locks held through it, undone at FCLOSE
  bool bexclusive = false;  // one of them is exclusive
  std::wstring crecord;     // the table's record stream (see FAPPENDSYNC); empty where none
};

constexpr int NSTANDARD = 3;  // handles 0, 1 and 2
std::vector<SLOT> g_slots;    // handle n is g_slots[n - NSTANDARD]

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

// The Windows handle behind a handle of this layer; INVALID_HANDLE_VALUE for
// none. A program without a console (meldimport.exe started from a mail
// program or Explorer) may have no standard handles at all.
HANDLE handleof(int nhandle) {
  static const DWORD NSTD[NSTANDARD] = {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE};
  if (nhandle >= 0 && nhandle < NSTANDARD) {
    const HANDLE h = ::GetStdHandle(NSTD[nhandle]);
    return h == nullptr ? INVALID_HANDLE_VALUE : h;
  }
  const SLOT* s = slotof(nhandle);
  return s == nullptr ? INVALID_HANDLE_VALUE : s->h;
}

// ---- Reads and writes.

constexpr long long NATEND = -2;  // the offset of a write that appends
constexpr DWORD NCHUNK = 1u << 30;

void setoffset(OVERLAPPED* po, unsigned long long noff) {
  po->Offset = static_cast<DWORD>(noff);
  po->OffsetHigh = static_cast<DWORD>(noff >> 32);
}

// Reads up to ncount bytes at offset noff (or at the handle's position when
// noff is -1), repeating short reads until the end of the file. A large
// request is sized by the file's length, as on every platform.
std::string readhandle(HANDLE h, long long noff, long long ncount, bool* pbfailed) {
  std::string cres;
  const size_t nwant = static_cast<size_t>(ncount);
  size_t nroom = nwant;
  LARGE_INTEGER nsize;
  // Room for what lies beyond the offset (at the handle's position: at most the whole file).
  if (nwant > 4096 && ::GetFileSizeEx(h, &nsize)) {
    const long long nleft = std::max(0LL, static_cast<long long>(nsize.QuadPart) - std::max(noff, 0LL));
    if (static_cast<unsigned long long>(nleft) < nwant) nroom = static_cast<size_t>(nleft) + 1;
  }
  cres.resize(nroom);
  size_t ngot = 0;
  while (ngot < nwant) {
    if (ngot == cres.size()) cres.resize(std::min(nwant, 2 * cres.size()));
    const DWORD nask = static_cast<DWORD>(std::min<size_t>(cres.size() - ngot, NCHUNK));
    OVERLAPPED o{};
    if (noff >= 0) setoffset(&o, static_cast<unsigned long long>(noff) + ngot);
    DWORD n = 0;
    if (!::ReadFile(h, cres.data() + ngot, nask, &n, noff >= 0 ? &o : nullptr)) {
      if (::GetLastError() != ERROR_HANDLE_EOF) *pbfailed = true;
      break;
    }
    if (n == 0) break;
    ngot += n;
  }
  cres.resize(*pbfailed ? 0 : ngot);
  return cres;
}

// Writes the whole text at offset noff (NATEND: at the end of the file, as
// one append that no other writer can split; -1: at the handle's position),
// going on from where a short write stopped; the bytes written.
long long writehandle(HANDLE h, std::string_view ctext, long long noff) {
  size_t ndone = 0;
  while (ndone < ctext.size()) {
    const DWORD nask = static_cast<DWORD>(std::min<size_t>(ctext.size() - ndone, NCHUNK));
    OVERLAPPED o{};
    if (noff == NATEND) setoffset(&o, ~0ULL);  // the documented "end of file" offset
    if (noff >= 0) setoffset(&o, static_cast<unsigned long long>(noff) + ndone);
    DWORD n = 0;
    if (!::WriteFile(h, ctext.data() + ndone, nask, &n, noff == -1 ? nullptr : &o) || n == 0) break;
    ndone += n;
  }
  return static_cast<long long>(ndone);
}

bool writesync(HANDLE h, std::string_view ctext, long long noff) {
  return writehandle(h, ctext, noff) == static_cast<long long>(ctext.size()) && ::FlushFileBuffers(h);
}

bool setsize(HANDLE h, long long nsize) {
  FILE_END_OF_FILE_INFO ei;
  ei.EndOfFile.QuadPart = nsize;
  return ::SetFileInformationByHandle(h, FileEndOfFileInfo, &ei, sizeof ei);
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

// Of a range locked exclusively and shared through one handle, the first
// unlock ends the exclusive lock.
void unlockonce(SLOT* s) {
  OVERLAPPED o{};
  if (s->nlocks > 0 && ::UnlockFileEx(s->h, 0, MAXDWORD, MAXDWORD, &o)) {
    --s->nlocks;
    s->bexclusive = false;
  }
}

// An exclusive lock within the run's bound: LockFileEx without waiting,
// tried again after short sleeps while another handle holds a lock.
bool lockwait(SLOT* s) {
  if (s->bexclusive) return true;
  DWORD nms = 1;
  for (;;) {
    if (trylock(s, true)) return true;
    if (::GetLastError() != ERROR_LOCK_VIOLATION || !sleepinbound(&nms)) return false;
  }
}

// ---- Names.

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

// What a name shows before it is opened (links followed by the open, not
// by the look: the marks are those of the entry itself).
enum class LOOK { File, Marked, Directory, Device, Missing, Failed };

LOOK lookat(const std::wstring& w) {
  if (w.empty()) return LOOK::Failed;
  if (isdevice(w)) return LOOK::Device;
  WIN32_FILE_ATTRIBUTE_DATA ad;
  if (!::GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &ad)) {
    const DWORD nerr = ::GetLastError();
    return nerr == ERROR_FILE_NOT_FOUND || nerr == ERROR_PATH_NOT_FOUND ? LOOK::Missing : LOOK::Failed;
  }
  if ((ad.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return LOOK::Directory;
  if ((ad.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) return LOOK::Marked;
  return LOOK::File;
}

bool isfile(LOOK n) { return n == LOOK::File || n == LOOK::Marked; }

// A handle of a disk file that is no directory: anything else (a device,
// pipe or console behind a link) is never read or written.
bool isdiskfile(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION fi;
  return ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &fi) &&
         (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

constexpr DWORD NSHAREALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// Readers let others read and write the file meanwhile, not delete it.
constexpr DWORD NSHAREREAD = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens an existing disk file; INVALID_HANDLE_VALUE otherwise. With
// bwaitheld, a file that another program holds open without sharing it is
// waited for within the run's bound, as for a lock; *pbheld tells that it
// stayed held.
HANDLE openfile(const std::wstring& w, DWORD naccess, DWORD nshare, bool bwaitheld, bool* pbheld = nullptr) {
  DWORD nms = 1;
  for (;;) {
    const HANDLE h = ::CreateFileW(w.c_str(), naccess, nshare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      if (isdiskfile(h)) return h;
      ::CloseHandle(h);
      return INVALID_HANDLE_VALUE;
    }
    const DWORD nerr = ::GetLastError();
    const bool bheld = nerr == ERROR_SHARING_VIOLATION || nerr == ERROR_LOCK_VIOLATION;
    if (!bheld || !bwaitheld || !sleepinbound(&nms)) {
      if (pbheld != nullptr) *pbheld = bheld;
      return INVALID_HANDLE_VALUE;
    }
  }
}

// The volume and the file index: one file, whatever name reaches it.
struct FILEID {
  DWORD nvolume = 0, nhigh = 0, nlow = 0;
  bool operator==(const FILEID&) const = default;
};

bool idofhandle(HANDLE h, FILEID* pid) {
  BY_HANDLE_FILE_INFORMATION fi;
  if (!::GetFileInformationByHandle(h, &fi)) return false;
  *pid = {fi.dwVolumeSerialNumber, fi.nFileIndexHigh, fi.nFileIndexLow};
  return true;
}

// The identity of what the name names now: opened for its attributes only,
// which no share mode of another program refuses; directories too.
bool idofname(const std::wstring& w, FILEID* pid) {
  const HANDLE h = ::CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, NSHAREALL, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool bok = idofhandle(h, pid);
  ::CloseHandle(h);
  return bok;
}

// The part of a name before its last separator, and the part after it.
void splitname(std::string_view cname, std::string_view* pcdir, std::string_view* pcbase) {
  const size_t nsep = cname.find_last_of("/\\");
  *pcdir = nsep == std::string_view::npos ? std::string_view(".") : cname.substr(0, nsep);
  *pcbase = nsep == std::string_view::npos ? cname : cname.substr(nsep + 1);
}

std::wstring widetemp(std::string_view cname) {
  std::string_view cdir, cbase;
  splitname(cname, &cdir, &cbase);
  return widename(tempname(cdir, cbase));
}

bool erasebyhandle(HANDLE h) {
  FILE_DISPOSITION_INFO di{TRUE};
  return ::SetFileInformationByHandle(h, FileDispositionInfo, &di, sizeof di);
}

// ---- The record of an append in progress: an alternate data stream of
// the table, where its volume has them (NTFS); "before after" as on every
// platform.

const wchar_t* const CRECORDSTREAM = L":meldimport.append";

bool hasstreams(HANDLE h) {
  DWORD nflags = 0;
  return ::GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &nflags, nullptr, 0) &&
         (nflags & FILE_NAMED_STREAMS) != 0;
}

// Under the lock, a record left on the table means that its run died during
// the append. A torn tail is cut off (see tornsize); any other table stays
// as it is. False where a torn tail could not be taken back.
bool recoverappend(SLOT* s, long long* pnsize) {
  if (s->crecord.empty()) return true;
  const HANDLE hrec = ::CreateFileW(s->crecord.c_str(), GENERIC_READ, NSHAREALL, nullptr, OPEN_EXISTING, 0, nullptr);
  if (hrec == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // no record: nothing torn
  bool bfailed = false;
  const std::string crec = readhandle(hrec, 0, 63, &bfailed);
  ::CloseHandle(hrec);
  const long long nbefore = tornsize(crec, *pnsize);
  if (nbefore >= 0) {
    if (!setsize(s->h, nbefore) || !::FlushFileBuffers(s->h)) return false;
    *pnsize = nbefore;
  }
  ::DeleteFileW(s->crecord.c_str());
  return true;
}

bool writerecord(const std::wstring& crecord, std::string_view ctext) {
  const HANDLE h = ::CreateFileW(crecord.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  const bool bok = writesync(h, ctext, 0) && setsize(h, static_cast<long long>(ctext.size())) && ::FlushFileBuffers(h);
  ::CloseHandle(h);
  return bok;
}

// ---- The new file's move into place: through the handle that holds the
// temporary, so that no other run can take it or remove it between the
// write and the move, and never over an existing entry.
FStatus moveinto(HANDLE h, const std::wstring& wname) {
  const size_t nbytes = wname.size() * sizeof(wchar_t);
  std::vector<std::uint64_t> cbuf((sizeof(FILE_RENAME_INFO) + nbytes + sizeof(std::uint64_t)) / sizeof(std::uint64_t));
  auto* pinfo = reinterpret_cast<FILE_RENAME_INFO*>(cbuf.data());
  pinfo->ReplaceIfExists = FALSE;
  pinfo->RootDirectory = nullptr;
  pinfo->FileNameLength = static_cast<DWORD>(nbytes);
  std::memcpy(pinfo->FileName, wname.c_str(), nbytes + sizeof(wchar_t));
  if (::SetFileInformationByHandle(h, FileRenameInfo, pinfo, static_cast<DWORD>(cbuf.size() * sizeof(std::uint64_t))))
    return FStatus::Okay;
  const DWORD nerr = ::GetLastError();
  return nerr == ERROR_ALREADY_EXISTS || nerr == ERROR_FILE_EXISTS ? FStatus::Exists : FStatus::Failed;
}

}  // namespace

void FSTARTUP() {
  // No dialog box of the system or of the C runtime: a drive that is not
  // ready, a file that cannot be opened or a crash ends in a result, never
  // in a window that waits for a click.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  ::_set_error_mode(_OUT_TO_STDERR);
}

// Windows has no counterpart of root taking another user's identity: the
// run keeps the rights of the user who started it.
FOwner FTAKEOWNER() { return FOwner::Okay; }

// Never asked: no run here takes another user's identity.
bool FOWNEDALONE(std::string_view) { return true; }

void FSETWAIT(double nseconds) { g_ndeadline = monotonic() + nseconds; }

void FSAY(std::string_view ctext) {
  const HANDLE h = handleof(2);
  if (h != INVALID_HANDLE_VALUE) writehandle(h, ctext, -1);
}

bool FILE(std::string_view cname, bool* pbfailed, bool* pbmarked) {
  const LOOK nlook = lookat(widename(cname));
  if (pbfailed != nullptr) *pbfailed = nlook == LOOK::Failed;
  if (pbmarked != nullptr) *pbmarked = nlook == LOOK::Marked;
  // A device is there, but no file: it is never opened (FOPEN, FCREATE).
  return nlook == LOOK::File || nlook == LOOK::Device;
}

int FOPEN(std::string_view cname) {
  const std::wstring w = widename(cname);
  if (!isfile(lookat(w))) return -1;
  const HANDLE h = openfile(w, GENERIC_READ, NSHAREREAD, false);
  return h == INVALID_HANDLE_VALUE ? -1 : addslot(h);
}

int FCREATE(std::string_view cname) {
  const std::wstring w = widename(cname);
  for (int ntry = 0; ntry < 3; ++ntry) {
    const LOOK nlook = lookat(w);
    if (nlook == LOOK::Missing) {
      const HANDLE h =
          ::CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, NSHAREALL, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (h != INVALID_HANDLE_VALUE && isdiskfile(h)) return addslot(h);
      if (h != INVALID_HANDLE_VALUE) {
        ::CloseHandle(h);
        return -1;
      }
      const DWORD nerr = ::GetLastError();
      if (nerr != ERROR_FILE_EXISTS && nerr != ERROR_ALREADY_EXISTS) return -1;
      continue;  // made meanwhile: look again
    }
    if (!isfile(nlook)) return -1;
    // An existing file is opened as it is (CREATE_ALWAYS would refuse a
    // hidden or system one), emptied, and given ordinary attributes.
    const HANDLE h = openfile(w, GENERIC_READ | GENERIC_WRITE, NSHAREALL, true);
    if (h == INVALID_HANDLE_VALUE) return -1;
    const int nhandle = addslot(h);
    SLOT* s = slotof(nhandle);
    // A lock is mandatory here: the run that writes its protocol under the
    // lock finishes before the file is emptied, and a protocol that another
    // program keeps locked beyond the bound cannot be written at all.
    const bool bempty = lockwait(s) && setsize(h, 0);
    unlockonce(s);
    FILE_BASIC_INFO bi{};  // times 0: left as they are
    if (bempty && ::GetFileInformationByHandleEx(h, FileBasicInfo, &bi, sizeof bi) &&
        (bi.FileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
      FILE_BASIC_INFO bnew{};
      bnew.FileAttributes = bi.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
      if (bnew.FileAttributes == 0) bnew.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      ::SetFileInformationByHandle(h, FileBasicInfo, &bnew, sizeof bnew);
    }
    if (bempty) return nhandle;
    FCLOSE(nhandle);
    return -1;
  }
  return -1;
}

bool FRESERVE(int nhandle, long long nbytes) {
  const SLOT* s = slotof(nhandle);
  if (s == nullptr) return false;
  // Room is only ever added: an allocation below the file's length would cut it.
  FILE_STANDARD_INFO si;
  if (!::GetFileInformationByHandleEx(s->h, FileStandardInfo, &si, sizeof si)) return true;
  if (si.AllocationSize.QuadPart >= nbytes || si.EndOfFile.QuadPart >= nbytes) return true;
  FILE_ALLOCATION_INFO ai;
  ai.AllocationSize.QuadPart = nbytes;
  if (::SetFileInformationByHandle(s->h, FileAllocationInfo, &ai, sizeof ai)) return true;
  const DWORD nerr = ::GetLastError();
  constexpr DWORD NQUOTA = 1295;  // ERROR_DISK_QUOTA_EXCEEDED, which MinGW's headers lack
  return nerr != ERROR_DISK_FULL && nerr != ERROR_HANDLE_DISK_FULL && nerr != NQUOTA;
}

std::string readbytes(int nhandle, long long noff, long long ncount, bool* pbfailed) {
  const HANDLE h = handleof(nhandle);
  if (h == INVALID_HANDLE_VALUE) *pbfailed = true;
  if (h == INVALID_HANDLE_VALUE || ncount <= 0) return {};
  if (noff < 0) return readhandle(h, -1, ncount, pbfailed);
  // A read at an offset moves the position of a handle opened for
  // synchronous use: it is put back.
  LARGE_INTEGER nzero{}, npos{};
  const bool bpos = ::SetFilePointerEx(h, nzero, &npos, FILE_CURRENT);
  std::string cres = readhandle(h, noff, ncount, pbfailed);
  if (bpos) ::SetFilePointerEx(h, npos, nullptr, FILE_BEGIN);
  return cres;
}

FRead FREADNAMED(std::string_view cname, long long ncount, int* pnhandle, std::string* pctext) {
  // One look at the name tells absent (a directory or an entry marked
  // hidden or system counts as absent) from there; what is there must be a
  // disk file that opens.
  const std::wstring w = widename(cname);
  const LOOK nlook = lookat(w);
  if (nlook == LOOK::Missing || nlook == LOOK::Directory || nlook == LOOK::Marked) return FRead::Missing;
  if (nlook != LOOK::File) return FRead::Failed;
  const HANDLE h = openfile(w, GENERIC_READ, NSHAREREAD, false);
  *pnhandle = h == INVALID_HANDLE_VALUE ? -1 : addslot(h);
  bool bfailed = false;
  *pctext = readbytes(*pnhandle, -1, ncount, &bfailed);
  return bfailed ? FRead::Failed : FRead::Okay;
}

long long FWRITE(int nhandle, std::string_view ctext) {
  const HANDLE h = handleof(nhandle);
  return h == INVALID_HANDLE_VALUE ? 0 : writehandle(h, ctext, -1);
}

// The standard handles are never closed: false, as for a handle not open.
bool FCLOSE(int nhandle) {
  SLOT* s = slotof(nhandle);
  if (s == nullptr) return false;
  // Locks are undone before the close: the system may take its time with
  // the locks of a handle closed while it holds them.
  while (s->nlocks > 0) {
    const int nbefore = s->nlocks;
    unlockonce(s);
    if (s->nlocks == nbefore) break;
  }
  const bool bclosed = ::CloseHandle(s->h);
  *s = SLOT();
  return bclosed;
}

int FERASE(std::string_view cname) {
  const std::wstring w = widename(cname);
  return !w.empty() && !isdevice(w) && ::DeleteFileW(w.c_str()) ? 0 : -1;
}

int FOPENLOCKED(std::string_view cname, long long* pnsize, bool* pbopened) {
  const std::wstring w = widename(cname);
  bool bopened = false;
  if (pbopened == nullptr) pbopened = &bopened;
  for (int ntry = 0; ntry < 100; ++ntry) {
    *pbopened = false;
    if (!isfile(lookat(w))) return -1;
    // Others may read, write and also replace the table while it is held
    // (the name is looked at again under the lock). A table that another
    // program holds open without sharing it is there and whole, only held:
    // on Windows that is a lock too.
    bool bheld = false;
    const HANDLE h = openfile(w, GENERIC_READ | GENERIC_WRITE, NSHAREALL, true, &bheld);
    if (h == INVALID_HANDLE_VALUE) {
      *pbopened = bheld;
      return -1;
    }
    *pbopened = true;
    const int nhandle = addslot(h);
    SLOT* s = slotof(nhandle);
    FILEID idheld, idnamed;
    LARGE_INTEGER nsize;
    if (!lockwait(s) || !idofhandle(h, &idheld) || !::GetFileSizeEx(h, &nsize)) {
      FCLOSE(nhandle);
      return -1;
    }
    if (idofname(w, &idnamed) && idnamed == idheld) {
      *pnsize = nsize.QuadPart;
      if (hasstreams(h)) s->crecord = w + CRECORDSTREAM;
      if (recoverappend(s, pnsize)) return nhandle;
      FCLOSE(nhandle);
      return -1;
    }
    FCLOSE(nhandle);  // replaced while we waited: take the file the name names now
  }
  return -1;
}

bool FAPPENDSYNC(int nhandle, std::string_view ctext, long long nsize) {
  SLOT* s = slotof(nhandle);
  if (s == nullptr) return false;
  // A volume without streams keeps no record.
  return appendrecorded(
      [&] {
        if (s->crecord.empty()) return 0;
        return writerecord(s->crecord, appendrecord(nsize, nsize + static_cast<long long>(ctext.size()))) ? 1 : -1;
      },
      [&] { return writesync(s->h, ctext, NATEND); },
      [&] { return setsize(s->h, nsize) && (::FlushFileBuffers(s->h), true); },
      [&] { ::DeleteFileW(s->crecord.c_str()); });
}

FStatus FCREATENEW(std::string_view cname, std::string_view ctext) {
  const std::wstring w = widename(cname), wtmp = widetemp(cname);
  if (w.empty() || wtmp.empty() || isdevice(w)) return FStatus::Failed;
  // The temporary is held without sharing: no other run can write, move or
  // remove it while this one does; one that another run holds is waited
  // for within the bound, a leftover of a killed run is taken over.
  DWORD nms = 1;
  HANDLE h;
  for (;;) {
    h = ::CreateFileW(wtmp.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE || ::GetLastError() != ERROR_SHARING_VIOLATION || !sleepinbound(&nms)) break;
  }
  if (h == INVALID_HANDLE_VALUE) return FStatus::Failed;
  FStatus nres = FStatus::Failed;
  if (isdiskfile(h) && setsize(h, 0) && writesync(h, ctext, 0)) {
    nres = moveinto(h, w);
    if (nres == FStatus::Okay) ::FlushFileBuffers(h);  // the new entry, too
  }
  if (nres != FStatus::Okay) erasebyhandle(h);  // no temporary stays behind
  ::CloseHandle(h);
  return nres;
}

void FREMOVESTALE(std::string_view cname) {
  const std::wstring wtmp = widetemp(cname);
  if (wtmp.empty()) return;
  // Opened without sharing, which fails while a live run holds it; a link in
  // its place is opened as itself and stays.
  const HANDLE h = ::CreateFileW(wtmp.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return;
  BY_HANDLE_FILE_INFORMATION fi;
  if (::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &fi) &&
      (fi.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
    erasebyhandle(h);
  ::CloseHandle(h);
}

long long FREPLACE(int nhandle, std::string_view ctext) {
  SLOT* s = slotof(nhandle);
  if (s == nullptr) return 0;
  // Without the lock the text is still tried: a report is better than none
  // (a lock that another program holds refuses the write here). It goes into
  // the room reserved at the start, and whatever stands behind it is cut off.
  lockwait(s);
  const long long n = writehandle(s->h, ctext, 0);
  if (n != static_cast<long long>(ctext.size())) {
    setsize(s->h, 0);  // no half report
    return 0;
  }
  setsize(s->h, n);
  return n;
}

}  // namespace meld

// Folder import: directories, moves that never replace, the running log,
// the terminal.
namespace meld {

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
  return ::CreateDirectoryW(w.c_str(), nullptr) || (::GetLastError() == ERROR_ALREADY_EXISTS && FISDIR(cname));
}

bool FLISTFILES(std::string_view cdir, std::vector<std::string>* pcnames) {
  pcnames->clear();
  std::wstring w = widename(cdir);
  if (w.empty() || isdevice(w)) return false;
  if (w.back() != L'\\' && w.back() != L'/') w += L'\\';
  w += L'*';
  WIN32_FIND_DATAW fd;
  const HANDLE hfind = ::FindFirstFileW(w.c_str(), &fd);
  if (hfind == INVALID_HANDLE_VALUE) return ::GetLastError() == ERROR_FILE_NOT_FOUND;  // an empty drive root
  bool bok = true;
  do {
    // Directories are no mails; neither are entries marked hidden or
    // system, which the directory search counts as absent. A name that no
    // byte string can hold (a lone surrogate) cannot be claimed.
    std::string cname;
    if ((fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) == 0 &&
        utf8name(fd.cFileName, &cname))
      pcnames->push_back(cname);
  } while (::FindNextFileW(hfind, &fd));
  bok = ::GetLastError() == ERROR_NO_MORE_FILES;
  ::FindClose(hfind);
  return bok;
}

FMove FMOVE(std::string_view cfrom, std::string_view cto) {
  const std::wstring wfrom = widename(cfrom), wto = widename(cto);
  if (wfrom.empty() || wto.empty() || isdevice(wfrom) || isdevice(wto)) return FMove::Failed;
  // A rename on the volume (no copy), never over an existing entry.
  if (::MoveFileExW(wfrom.c_str(), wto.c_str(), MOVEFILE_WRITE_THROUGH)) return FMove::Okay;
  const DWORD nerr = ::GetLastError();
  if (nerr == ERROR_ALREADY_EXISTS || nerr == ERROR_FILE_EXISTS) return FMove::Exists;
  return nerr == ERROR_FILE_NOT_FOUND ? FMove::Gone : FMove::Failed;
}

// Where the volume lets a directory's entries be flushed through a handle
// of it, they are; a move made with MOVEFILE_WRITE_THROUGH needs no more.
bool FSYNCDIR(std::string_view cdir) {
  const std::wstring w = widename(cdir);
  if (w.empty() || isdevice(w)) return false;
  const HANDLE h = ::CreateFileW(w.c_str(), GENERIC_WRITE, NSHAREALL, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                 nullptr);
  // NTFS keeps its directory entries in its journal: where a directory
  // cannot be opened or flushed for writing, there is nothing more to do.
  if (h == INVALID_HANDLE_VALUE) return true;
  const bool bflushed = ::FlushFileBuffers(h) || ::GetLastError() == ERROR_ACCESS_DENIED ||
                        ::GetLastError() == ERROR_INVALID_FUNCTION;
  ::CloseHandle(h);
  return bflushed;
}

// Links are followed where they lie; a mail that is one is read through it.
std::string FLINKPATH(std::string_view cname) { return std::string(cname); }

int FOPENAPPEND(std::string_view cname) {
  // A missing file is made the way a new table is, whole and never over
  // one that another run made meanwhile; then the one that is there is opened.
  if (!FILE(cname)) FCREATENEW(cname, "");
  const std::wstring w = widename(cname);
  if (!isfile(lookat(w))) return -1;
  const HANDLE h = openfile(w, GENERIC_READ | GENERIC_WRITE, NSHAREALL, false);
  return h == INVALID_HANDLE_VALUE ? -1 : addslot(h);
}

int FOPENDIR(std::string_view cname) {
  if (!FISDIR(cname)) return -1;
  const std::wstring w = widename(std::string(cname) + "/.lock");
  const HANDLE h = ::CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, NSHAREALL, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (h == INVALID_HANDLE_VALUE) return -1;
  if (isdiskfile(h)) return addslot(h);
  ::CloseHandle(h);
  return -1;
}

bool FLOCKALONE(int nhandle) {
  SLOT* s = slotof(nhandle);
  return s != nullptr && trylock(s, true);
}

bool FLOCKSHARED(int nhandle, int nwaitsec) {
  SLOT* s = slotof(nhandle);
  if (s == nullptr) return false;
  const double ndeadline = monotonic() + nwaitsec;
  DWORD nms = 1;
  for (;;) {
    const bool bexclusive = s->bexclusive;
    if (trylock(s, false)) {
      // The shared lock is there before the exclusive one goes: no other
      // run can find itself alone in between.
      if (bexclusive) unlockonce(s);
      return true;
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION || !sleepuntil(ndeadline, &nms)) return false;
  }
}

bool FISTERMINAL(int nhandle) {
  const HANDLE h = handleof(nhandle);
  DWORD nmode = 0;
  return h != INVALID_HANDLE_VALUE && ::GetConsoleMode(h, &nmode);
}

}  // namespace meld
