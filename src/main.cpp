#include <windows.h>

#include "redirection_trust.h"
#include "uninstall_run.h"

// The command line and the show state are not used: the program does the same whole job
// however it is started.
int WINAPI wWinMain(HINSTANCE /*instance*/, HINSTANCE /*previous*/, PWSTR /*commandLine*/, int /*show*/) {
  EnforceRedirectionTrust();
  return RunUninstall();
}
