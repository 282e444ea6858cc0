#pragma once

// Stops the process from following junctions that non-administrators created, where
// Windows offers that (Windows 10 21H2, Windows 11 and later); elsewhere it does nothing.
void EnforceRedirectionTrust();
