// files.h: what a test reads the plug-in's output from: descriptor 1
// caught in a file, scratch files and directories, and text split in lines.
#pragma once

#include <string>
#include <vector>

// Points descriptor 1 at a temporary file until StdoutCapture_End, which
// restores it and returns everything written to the descriptor meanwhile.
// Text held in stdio's buffer is not flushed into it: the plug-in writes
// its lines straight to the descriptor, and a capture shows only those.
void StdoutCapture_Begin(void);
std::string StdoutCapture_End(void);

// Writes text to a new temporary file and returns its path.
std::string TestFile_Write(const std::string &text);
// Reads a whole file; empty when it can't be read.
std::string TestFile_Read(const std::string &path);
// A fresh empty temporary directory.
std::string TestDir_Make(void);
// The file names in a directory, sorted, without "." and "..".
std::vector<std::string> TestDir_List(const std::string &dir);
// Removes the files in a directory, then the directory.
void TestDir_Remove(const std::string &dir);

// Text split at each newline; a final newline ends the last line rather
// than starting an empty one.
std::vector<std::string> TestText_Lines(const std::string &text);
// Lines joined again, each ending in a newline.
inline std::string Lines(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "\n";
    return text;
}
