// The Windows body of the file layer: file.h and the primitives of
// file_common.h on the Windows API. Names are passed to the wide-character
// calls; contents go through ReadFile and WriteFile only, so no C runtime
// stream or text mode ever sees a byte. Handles of this layer are small
// numbers for Windows handles (file_windows_handles.cpp): 0, 1 and 2 stand
// for standard input, output and error. Names are in file_windows_names.cpp,
// directories, moves and locks of the folder import in file_windows_folder.cpp.
#include "file_windows.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace meld {

FStatus statusof(DWORD nerr) {
  constexpr DWORD NQUOTA = 1295;  // ERROR_DISK_QUOTA_EXCEEDED, which MinGW's headers lack
  switch (nerr) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_NO_MORE_FILES:
      return FStatus::Missing;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return FStatus::Exists;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FStatus::Held;
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
      return FStatus::Unsupported;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case NQUOTA:
      return FStatus::Full;
    default:
      return FStatus::Failed;
  }
}

bool isdiskfile(HANDLE h) {
  BY_HANDLE_FILE_INFORMATION fi;
  return ::GetFileType(h) == FILE_TYPE_DISK && ::GetFileInformationByHandle(h, &fi) &&
         (fi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

namespace {

bool idofhandle(HANDLE h, FILEID* pid) {
  BY_HANDLE_FILE_INFORMATION fi;
  if (!::GetFileInformationByHandle(h, &fi)) return false;
  *pid = {fi.dwVolumeSerialNumber, fi.nFileIndexHigh, fi.nFileIndexLow};
  return true;
}

// What a name shows before it is opened (links followed by the open, not
// by the look: the marks are those of the entry itself).
enum class LOOK { File, Marked, Directory, Device, Missing, Failed };

LOOK lookat(const std::wstring& w) {
  if (w.empty()) return LOOK::Failed;
  if (isdevice(w)) return LOOK::Device;
  WIN32_FILE_ATTRIBUTE_DATA ad;
  if (!::GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &ad))
    return failed() == FStatus::Missing ? LOOK::Missing : LOOK::Failed;
  if ((ad.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return LOOK::Directory;
  if ((ad.dwFileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) return LOOK::Marked;
  return LOOK::File;
}

bool isfile(LOOK n) { return n == LOOK::File || n == LOOK::Marked; }

// Readers let others read and write the file meanwhile, not delete it.
constexpr DWORD NSHAREREAD = FILE_SHARE_READ | FILE_SHARE_WRITE;

// Opens an existing disk file: Okay with its handle, Failed, or with
// bwaitheld, Held for a file that another program holds open without
// sharing it beyond the run's bound, waited for as for a lock.
FStatus openfile(const std::wstring& w, DWORD naccess, DWORD nshare, bool bwaitheld, HANDLE* ph) {
  DWORD nms = 1;
  for (;;) {
    HOWNED h(::CreateFileW(w.c_str(), naccess, nshare, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (h.get() != INVALID_HANDLE_VALUE) {
      if (!isdiskfile(h.get())) return FStatus::Failed;
      *ph = h.release();
      return FStatus::Okay;
    }
    const FStatus nopen = failed();
    if (nopen != FStatus::Held || !bwaitheld || !sleepinbound(&nms)) return nopen == FStatus::Held ? nopen : FStatus::Failed;
  }
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

// ---- Reads and writes.

constexpr long long NATEND = -2;  // the offset of a write that appends
constexpr DWORD NCHUNK = 1u << 30;  // ReadFile and WriteFile count in a DWORD: a larger text goes in pieces

void setoffset(OVERLAPPED* po, unsigned long long noff) {
  po->Offset = static_cast<DWORD>(noff);
  po->OffsetHigh = static_cast<DWORD>(noff >> 32);
}

// Reads up to ncount bytes at offset noff (or at the handle's position when
// noff is -1), repeating short reads until the end of the file. A large
// request is sized by the file's length, as on every platform.
std::string readhandle(HANDLE h, long long noff, long long ncount, bool* pbfailed) {
  const size_t nwant = static_cast<size_t>(ncount);
  // Room for what lies beyond the offset (at the handle's position: at most the whole file).
  LARGE_INTEGER nsize;
  const bool bsized = nwant > 4096 && ::GetFileSizeEx(h, &nsize);
  std::string cres(readroom(nwant, noff, bsized ? nsize.QuadPart : -1), '\0');
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

bool sizeto(HANDLE h, long long nsize) {
  FILE_END_OF_FILE_INFO ei;
  ei.EndOfFile.QuadPart = nsize;
  return ::SetFileInformationByHandle(h, FileEndOfFileInfo, &ei, sizeof ei);
}

// The record of an append in progress: an alternate data stream of the
// table, where its volume has them (NTFS).
const wchar_t* const CRECORDSTREAM = L":meldimport.append";

bool hasstreams(HANDLE h) {
  DWORD nflags = 0;
  return ::GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &nflags, nullptr, 0) &&
         (nflags & FILE_NAMED_STREAMS) != 0;
}

// The new file's move into place: through the handle that holds the
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
  return failed() == FStatus::Exists ? FStatus::Exists : FStatus::Failed;
}

}  // namespace

void splitname(std::string_view cname, std::string_view* pcdir, std::string_view* pcbase) {
  const size_t nsep = cname.find_last_of("/\\");
  *pcdir = nsep == std::string_view::npos ? std::string_view(".") : cname.substr(0, nsep);
  *pcbase = nsep == std::string_view::npos ? cname : cname.substr(nsep + 1);
}

bool idofname(const std::wstring& w, FILEID* pid) {
  // Opened for its attributes only, which no share mode of another program refuses.
  const HOWNED h(::CreateFileW(w.c_str(), FILE_READ_ATTRIBUTES, NSHAREALL, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  return h.get() != INVALID_HANDLE_VALUE && idofhandle(h.get(), pid);
}

// ---- The primitives of the shared rules.

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

FOPENED openinput(std::string_view cname) {
  // A directory or an entry marked hidden or system counts as absent; what
  // is there must be a disk file that opens.
  const std::wstring w = widename(cname);
  const LOOK nlook = lookat(w);
  if (nlook == LOOK::Missing || nlook == LOOK::Directory || nlook == LOOK::Marked) return opened(FStatus::Missing);
  HANDLE h = INVALID_HANDLE_VALUE;
  if (nlook != LOOK::File || openfile(w, GENERIC_READ, NSHAREREAD, false, &h) != FStatus::Okay)
    return opened(FStatus::Failed);
  return opened(FStatus::Okay, addslot(h));
}

FOPENED openappending(std::string_view cname, bool bforlock) {
  const std::wstring w = widename(cname);
  if (!isfile(lookat(w))) return opened(FStatus::Failed);
  // Others may read, write and also replace the file while it is held (the
  // name is looked at again under the lock). A table that another program
  // holds open without sharing it is there and whole, only held: on
  // Windows that is a lock too.
  HANDLE h = INVALID_HANDLE_VALUE;
  const FStatus nopen = openfile(w, GENERIC_READ | GENERIC_WRITE, NSHAREALL, bforlock, &h);
  if (nopen != FStatus::Okay) return opened(nopen);
  const int nhandle = addslot(h);
  // A volume without streams keeps no record.
  if (bforlock && hasstreams(h)) slotof(nhandle)->crecord = w + CRECORDSTREAM;
  return opened(FStatus::Okay, nhandle);
}

FStatus stillnamed(int nhandle, std::string_view cname, long long* pnsize) {
  const HANDLE h = handleof(nhandle);
  FILEID idheld, idnamed;
  LARGE_INTEGER nsize;
  if (!idofhandle(h, &idheld) || !::GetFileSizeEx(h, &nsize)) return FStatus::Failed;
  if (!idofname(widename(cname), &idnamed) || !(idnamed == idheld)) return FStatus::Other;
  *pnsize = nsize.QuadPart;
  return FStatus::Okay;
}

FStatus readrecord(int nhandle, std::string* pcrecord) {
  const SLOT* s = slotof(nhandle);
  if (s == nullptr) return FStatus::Failed;
  if (s->crecord.empty()) return FStatus::Unsupported;
  const HOWNED hrec(::CreateFileW(s->crecord.c_str(), GENERIC_READ, NSHAREALL, nullptr, OPEN_EXISTING, 0, nullptr));
  if (hrec.get() == INVALID_HANDLE_VALUE) return failed() == FStatus::Missing ? FStatus::Missing : FStatus::Failed;
  bool bfailed = false;
  *pcrecord = readhandle(hrec.get(), 0, 63, &bfailed);  // a record not read is none that fits
  return FStatus::Okay;
}

FStatus setrecord(int nhandle, std::string_view crecord) {
  const SLOT* s = slotof(nhandle);
  if (s == nullptr) return FStatus::Failed;
  if (s->crecord.empty()) return FStatus::Unsupported;
  const HOWNED h(::CreateFileW(s->crecord.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  const bool bset = h.get() != INVALID_HANDLE_VALUE && writesync(h.get(), crecord, 0) &&
                    sizeto(h.get(), static_cast<long long>(crecord.size())) && ::FlushFileBuffers(h.get());
  return bset ? FStatus::Okay : FStatus::Failed;
}

void droprecord(int nhandle) {
  const SLOT* s = slotof(nhandle);
  if (s != nullptr && !s->crecord.empty()) ::DeleteFileW(s->crecord.c_str());
}

bool appendsync(int nhandle, std::string_view ctext) {
  const SLOT* s = slotof(nhandle);
  return s != nullptr && writesync(s->h, ctext, NATEND);
}

long long writeat(int nhandle, std::string_view ctext, long long noff) {
  const SLOT* s = slotof(nhandle);
  return s == nullptr ? 0 : writehandle(s->h, ctext, noff);
}

bool setsize(int nhandle, long long nsize) {
  const SLOT* s = slotof(nhandle);
  return s != nullptr && sizeto(s->h, nsize);
}

bool syncfile(int nhandle) {
  const SLOT* s = slotof(nhandle);
  return s != nullptr && ::FlushFileBuffers(s->h);
}

void removestale(std::string_view cname) {
  const std::wstring wtmp = widetemp(cname);
  if (wtmp.empty()) return;
  // Opened without sharing, which fails while a live run holds it; a link in
  // its place is opened as itself and stays.
  const HOWNED h(::CreateFileW(wtmp.c_str(), DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  BY_HANDLE_FILE_INFORMATION fi;
  if (h.get() != INVALID_HANDLE_VALUE && ::GetFileType(h.get()) == FILE_TYPE_DISK &&
      ::GetFileInformationByHandle(h.get(), &fi) &&
      (fi.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0)
    erasebyhandle(h.get());
}

// ---- file.h

void FSTARTUP() {
  // No dialog box of the system or of the C runtime: a drive that is not
  // ready, a file that cannot be opened or a crash ends in a result, never
  // in a window that waits for a click.
  ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
  ::_set_error_mode(_OUT_TO_STDERR);
}

void FSAY(std::string_view ctext) {
  const HANDLE h = handleof(2);
  if (h != INVALID_HANDLE_VALUE) writehandle(h, ctext, -1);
}

FStatus FLOOK(std::string_view cname) {
  switch (lookat(widename(cname))) {
    case LOOK::File:
      return FStatus::Okay;
    case LOOK::Marked:
      return FStatus::Marked;
    case LOOK::Device:  // there, but no file: it is never opened (FOPEN, FCREATE)
      return FStatus::Other;
    case LOOK::Directory:
    case LOOK::Missing:
      return FStatus::Missing;
    case LOOK::Failed:
      break;
  }
  return FStatus::Failed;
}

int FCREATE(std::string_view cname) {
  const std::wstring w = widename(cname);
  for (int ntry = 0; ntry < 3; ++ntry) {
    const LOOK nlook = lookat(w);
    if (nlook == LOOK::Missing) {
      HOWNED h(::CreateFileW(w.c_str(), GENERIC_READ | GENERIC_WRITE, NSHAREALL, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
      if (h.get() == INVALID_HANDLE_VALUE && failed() == FStatus::Exists) continue;  // made meanwhile: look again
      return h.get() != INVALID_HANDLE_VALUE && isdiskfile(h.get()) ? addslot(h.release()) : -1;
    }
    if (!isfile(nlook)) return -1;
    // An existing file is opened as it is (CREATE_ALWAYS would refuse a
    // hidden or system one), emptied, and given ordinary attributes.
    HANDLE hopen = INVALID_HANDLE_VALUE;
    if (openfile(w, GENERIC_READ | GENERIC_WRITE, NSHAREALL, true, &hopen) != FStatus::Okay) return -1;
    const int nhandle = addslot(hopen);
    SLOT* s = slotof(nhandle);
    // A lock is mandatory here: the run that writes its protocol under the
    // lock finishes before the file is emptied, and a protocol that another
    // program keeps locked beyond the bound cannot be written at all.
    const bool bempty = lockwait(nhandle) && sizeto(s->h, 0);
    unlockonce(s);
    FILE_BASIC_INFO bi{};  // times 0: left as they are
    if (bempty && ::GetFileInformationByHandleEx(s->h, FileBasicInfo, &bi, sizeof bi) &&
        (bi.FileAttributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0) {
      FILE_BASIC_INFO bnew{};
      bnew.FileAttributes = bi.FileAttributes & ~static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
      if (bnew.FileAttributes == 0) bnew.FileAttributes = FILE_ATTRIBUTE_NORMAL;
      ::SetFileInformationByHandle(s->h, FileBasicInfo, &bnew, sizeof bnew);
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
  return ::SetFileInformationByHandle(s->h, FileAllocationInfo, &ai, sizeof ai) || failed() != FStatus::Full;
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

FStatus FCREATENEW(std::string_view cname, std::string_view ctext) {
  const std::wstring w = widename(cname), wtmp = widetemp(cname);
  if (w.empty() || wtmp.empty() || isdevice(w)) return FStatus::Failed;
  // The temporary is held without sharing: no other run can write, move or
  // remove it while this one does; one that another run holds is waited
  // for within the bound, a leftover of a killed run is taken over.
  DWORD nms = 1;
  HANDLE hopen;
  for (;;) {
    hopen = ::CreateFileW(wtmp.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE, 0, nullptr, OPEN_ALWAYS,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hopen != INVALID_HANDLE_VALUE || failed() != FStatus::Held || !sleepinbound(&nms)) break;
  }
  const HOWNED h(hopen);
  if (h.get() == INVALID_HANDLE_VALUE) return FStatus::Failed;
  FStatus nres = FStatus::Failed;
  if (isdiskfile(h.get()) && sizeto(h.get(), 0) && writesync(h.get(), ctext, 0)) {
    nres = moveinto(h.get(), w);
    if (nres == FStatus::Okay) ::FlushFileBuffers(h.get());  // the new entry, too
  }
  if (nres != FStatus::Okay) erasebyhandle(h.get());  // no temporary stays behind
  return nres;
}

}  // namespace meld
