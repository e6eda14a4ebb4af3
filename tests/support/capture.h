// capture.h: catching what the plug-in writes to descriptor 1.
#pragma once

#include <string>
#include <vector>

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
// The file names in a directory, sorted, without "." and "..".
std::vector<std::string> TestDir_List(const std::string &dir);
// Removes the files in a directory, then the directory.
void TestDir_Remove(const std::string &dir);

// Text split at each newline; a final newline ends the last line rather
// than starting an empty one.
std::vector<std::string> TestText_Lines(const std::string &text);
