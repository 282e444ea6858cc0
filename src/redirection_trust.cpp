#include "redirection_trust.h"

#include <windows.h>

void EnforceRedirectionTrust() {
  PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
  policy.EnforceRedirectionTrust = 1;
  // A second layer: the folder walk reaches everything below a program folder through
  // handles and never follows a link inside it, and judges a program folder that is itself
  // a link by where it leads. What the policy adds is that no junction a non-administrator
  // made is followed on the way to a program folder, or by the link in its place. It is
  // reported to hold on Windows 11 and Windows 10 22H2, and to be refused on Windows 10
  // 1809 and 1909 (so Windows Server 2019); where it is refused nothing changes, so the
  // result is not read. On Windows, GetProcessMitigationPolicy reads the policy back; Wine
  // accepts it but does not keep it, so nothing here can see it.
  SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy);
}
