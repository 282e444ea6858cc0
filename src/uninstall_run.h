#pragma once

// The whole job of the program: removes what is found of both applications, tells the
// user the outcome in one message box and returns the process exit code, always 1.
int RunUninstall();
