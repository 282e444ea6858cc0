// The process mitigation that keeps the uninstaller from following junctions planted by
// users without administrator rights.
#include "redirection_trust.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "test_support.h"

namespace {

TEST(RedirectionTrust, IsEnforcedWhereWindowsOffersIt) {
  EnforceRedirectionTrust();  // where the policy is not offered, this must pass silently

  PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
  if (!GetProcessMitigationPolicy(GetCurrentProcess(), ProcessRedirectionTrustPolicy, &policy, sizeof policy)) {
    GTEST_SKIP() << "this system does not offer the policy (error " << GetLastError() << ")";
  }
  if (RunningOnWine()) GTEST_SKIP() << "Wine accepts the policy but does not keep it";
  EXPECT_TRUE(policy.EnforceRedirectionTrust);
}

}  // namespace
