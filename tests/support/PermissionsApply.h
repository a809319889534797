#pragma once

// While it lives, file permissions bind the calling thread as they bind a normal user, also
// when the tests run as the superuser: the thread sets aside its power to read, write and
// search past permissions and to act as any file's owner, and takes it up again at the end.
// (Capabilities are each thread's own; the other threads of the process keep theirs.) For any
// other user it changes nothing.

#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace testsupport {

class PermissionsApply {
 public:
  PermissionsApply() {
    m_saved = capabilities();
    Capabilities lowered = m_saved;
    for (const int capability : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER})
      lowered.data[0].effective &= ~(1u << capability);
    set(lowered);
  }
  ~PermissionsApply() { set(m_saved); }
  PermissionsApply(const PermissionsApply&) = delete;
  PermissionsApply& operator=(const PermissionsApply&) = delete;

 private:
  struct Capabilities {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};  // 0: the calling thread
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
  };
  static Capabilities capabilities() {
    Capabilities current;
    EXPECT_EQ(::syscall(SYS_capget, &current.header, current.data), 0);
    return current;
  }
  static void set(Capabilities capabilities) {
    EXPECT_EQ(::syscall(SYS_capset, &capabilities.header, capabilities.data), 0);
  }
  Capabilities m_saved;
};

}  // namespace testsupport
