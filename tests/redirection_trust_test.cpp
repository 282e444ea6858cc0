// RedirectionGuard, read back from Windows where the policy is reported to hold: from
// Windows 11 22H2 (build 22621) on it must; on earlier builds (Windows 10 22H2 is reported to
// keep it, 1809 and 1909 to refuse it) a policy not kept is skipped with the build, since
// Microsoft's documentation names no first release. Wine accepts the policy without keeping
// it (docs/testing.md, "Windows and Wine").
#include "redirection_trust.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "test_support.h"

extern "C" LONG NTAPI RtlGetVersion(OSVERSIONINFOW* version);  // ntdll, declared in wdm.h

TEST(RedirectionTrust, IsEnforcedWhereWindowsHoldsIt) {
  if (RunningOnWine()) GTEST_SKIP() << "Wine does not keep the policy";
  EnforceRedirectionTrust();
  PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  RtlGetVersion(&version);
  const bool read =
      GetProcessMitigationPolicy(GetCurrentProcess(), ProcessRedirectionTrustPolicy, &policy, sizeof policy) != FALSE;
  if (version.dwBuildNumber < 22621 && !(read && policy.EnforceRedirectionTrust)) {
    GTEST_SKIP() << "refused on build " << version.dwBuildNumber << " (error " << GetLastError() << ")";
  }
  EXPECT_TRUE(read && policy.EnforceRedirectionTrust) << "error " << GetLastError();
}
