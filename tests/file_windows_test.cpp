// The file layer's contracts on Windows: devices.
#include <gtest/gtest.h>

#include <string>

#include <windows.h>

#include "file.h"

using namespace meld;

// A name that reaches a device (the reserved names, a pipe, the device
// namespace) is there but is no file: it is never opened, so nothing can
// block on it or be sent to it. The pipe has a server here: had any call
// opened it, the server would see a client.
TEST(File, DevicesAreNeverOpened) {
  const std::string cpipe = "\\\\.\\pipe\\meldtest-" + std::to_string(::GetCurrentProcessId());
  const HANDLE hpipe = ::CreateNamedPipeA(cpipe.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1, 4096, 4096,
                                          0, nullptr);
  ASSERT_NE(hpipe, INVALID_HANDLE_VALUE);
  FSETWAIT(1);
  for (const std::string cname : {"NUL", "con", "COM1", "CONIN$", cpipe.c_str(), "\\\\?\\GLOBALROOT\\Device\\Null"}) {
    SCOPED_TRACE(cname);
    EXPECT_EQ(FLOOK(cname), FStatus::Other);
    EXPECT_EQ(FOPEN(cname), -1);
    EXPECT_EQ(FCREATE(cname), -1);
    const FOPENED o = FREADNAMED(cname, 100);
    EXPECT_TRUE(o.nhandle == -1 && o.nstatus == FStatus::Failed);
    EXPECT_EQ(FOPENLOCKED(cname).nstatus, FStatus::Failed);
    EXPECT_EQ(FCREATENEW(cname, "x"), FStatus::Failed);
    EXPECT_EQ(FOPENAPPEND(cname), -1);
    EXPECT_EQ(FERASE(cname), -1);
  }
  EXPECT_FALSE(::ConnectNamedPipe(hpipe, nullptr));
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_PIPE_LISTENING));  // no client ever came
  ::CloseHandle(hpipe);
}
