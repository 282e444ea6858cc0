#pragma once

// Stops the process from following junctions that non-administrators created, where the
// running Windows offers that (its RedirectionGuard policy). Microsoft's reference for the
// policy names no Windows release of its own: it lists Windows 8.1, the requirement shared
// by every process mitigation structure. Where the system does not know the policy, the
// call is refused and nothing changes.
void EnforceRedirectionTrust();
