#include "redirection_trust.h"

#include <windows.h>

void EnforceRedirectionTrust() {
  PROCESS_MITIGATION_REDIRECTION_TRUST_POLICY policy = {};
  policy.EnforceRedirectionTrust = 1;
  // Older systems reject the policy; the removal is safe without it, since it never
  // descends into a link inside a program folder and checks the target of a program
  // folder that is itself a link, so the result is not needed. On Windows,
  // GetProcessMitigationPolicy reads the policy back; Wine accepts it but does not keep
  // it, so nothing here can see it.
  SetProcessMitigationPolicy(ProcessRedirectionTrustPolicy, &policy, sizeof policy);
}
