// The identity of the run: root takes the identity of the owner of the
// directory it runs in, read from the system's own files, so that names in
// the directory reach only what that user could reach.
#include <charconv>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <unistd.h>

#include "file_posix.h"

namespace meld {

namespace {

// Set where root took an identity (its own too): then a folder must be that user's alone.
bool g_btaken = false;

// The colon-separated fields of one line of /etc/passwd or /etc/group.
std::vector<std::string> splitcolons(std::string_view cline) {
  std::vector<std::string> cfields;
  size_t nfrom = 0;
  for (;;) {
    const size_t ncolon = cline.find(':', nfrom);
    cfields.emplace_back(cline.substr(nfrom, ncolon == std::string_view::npos ? std::string_view::npos : ncolon - nfrom));
    if (ncolon == std::string_view::npos) return cfields;
    nfrom = ncolon + 1;
  }
}

std::string readsystemfile(const char* cname) {
  const FD fd(::open(cname, O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  bool bfailed = false;
  return fd.get() < 0 ? std::string() : readdirect(fd.get(), -1, 1 << 24, &bfailed);
}

unsigned long number(std::string_view c) {
  unsigned long n = 0;
  std::from_chars(c.data(), c.data() + c.size(), n);
  return n;
}

template <class F>
void eachline(const std::string& ctext, F fn) {
  size_t nfrom = 0;
  while (nfrom < ctext.size()) {
    size_t nend = ctext.find('\n', nfrom);
    if (nend == std::string::npos) nend = ctext.size();
    fn(splitcolons(std::string_view(ctext).substr(nfrom, nend - nfrom)));
    nfrom = nend + 1;
  }
}

}  // namespace

FStatus FTAKEOWNER() {
  if (::geteuid() != 0) return FStatus::Okay;
  struct stat st;
  if (::stat(".", &st) != 0) return FStatus::Failed;
  if (st.st_uid == 0) {
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return FStatus::Unsafe;
    g_btaken = true;
    return FStatus::Okay;
  }
  // The owner's name, primary group and supplementary groups from the
  // system's own files (the name service is not linked into a static
  // program); an owner not listed gets the directory's group alone.
  const std::string cuid = std::to_string(st.st_uid);
  std::string cuser;
  gid_t ngid = st.st_gid;
  eachline(readsystemfile("/etc/passwd"), [&](const std::vector<std::string>& f) {
    if (cuser.empty() && f.size() >= 4 && f[2] == cuid) {
      cuser = f[0];
      ngid = static_cast<gid_t>(number(f[3]));
    }
  });
  std::vector<gid_t> ngroups{ngid};
  if (!cuser.empty()) {
    eachline(readsystemfile("/etc/group"), [&](const std::vector<std::string>& f) {
      if (f.size() < 4) return;
      const std::string cmembers = "," + f[3] + ",";
      if (cmembers.find("," + cuser + ",") != std::string::npos)
        ngroups.push_back(static_cast<gid_t>(number(f[2])));
    });
  }
  if (::setgroups(ngroups.size(), ngroups.data()) != 0 || ::setresgid(ngid, ngid, ngid) != 0 ||
      ::setresuid(st.st_uid, st.st_uid, st.st_uid) != 0)
    return FStatus::Failed;
  g_btaken = ::geteuid() == st.st_uid && ::getuid() == st.st_uid;
  return g_btaken ? FStatus::Okay : FStatus::Failed;
}

bool FOWNEDALONE(std::string_view cdir) {
  if (!g_btaken) return true;
  struct stat st;
  return ::stat(std::string(cdir).c_str(), &st) == 0 && st.st_uid == ::geteuid() &&
         (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace meld
