// testbench.h: putting the plug-in's state back between tests.
#pragma once

// Releases the tables the state record owns and restores every field to its
// default, as at start-up. For programs that link the plug-in's code.
void TestBench_Reset(void);
