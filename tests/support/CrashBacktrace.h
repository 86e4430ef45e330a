#pragma once

namespace zimlo::test {

// On a crash (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT) writes the crashing thread's name and
// its call stack to standard error, then lets the process die as it would have: a test run on a
// fresh machine keeps no core file, and this is all a crash there leaves to go on.
void printBacktraceOnCrash();

}  // namespace zimlo::test
