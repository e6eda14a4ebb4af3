// files.h: what tests read the plug-in's output from: descriptor 1 caught
// in a file, scratch files and directories, and text as lines.
#pragma once

#include <string>
#include <vector>

// What was written to descriptor 1 since the last call. The first call
// points it at a scratch file and gives stdio's stdout (Google Test's) a
// descriptor of its own: only what goes straight to descriptor 1 is caught.
std::string Stdout_Take(void);

std::string TestFile_Write(const std::string &text);  // a new scratch file holding text
std::string TestFile_Read(const std::string &path);   // empty when it can't be read
std::string TestDir_Make(void);                       // a new empty scratch directory
std::vector<std::string> TestDir_List(const std::string &dir);  // sorted, without . and ..
void TestDir_Remove(const std::string &dir);          // with everything in it

// Text split at each newline (a final one ends the last line), and joined.
std::vector<std::string> TestText_Lines(const std::string &text);
std::string Lines(const std::vector<std::string> &lines);
