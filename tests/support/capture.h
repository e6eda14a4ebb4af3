// capture.h: catching what the plug-in writes to descriptor 1.
#pragma once

#include <string>

// Redirects descriptor 1 to a temporary file until StdoutCapture_End, which
// restores it and returns everything written meanwhile.
void StdoutCapture_Begin(void);
std::string StdoutCapture_End(void);

// Writes text to a new temporary file and returns its path.
std::string TestFile_Write(const std::string &text);
// A fresh empty temporary directory.
std::string TestDir_Make(void);
// Reads a whole file; empty when it can't be read.
std::string TestFile_Read(const std::string &path);
