// files.cpp: the catch of descriptor 1 and scratch files for tests.
#include "tests/support/files.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

std::string Stdout_Take(void) {
    static int caught = -1;
    if (caught < 0) {
        fflush(stdout);
        stdout = fdopen(dup(1), "w");
        char name[] = "/tmp/flyrate-stdout-XXXXXX";
        caught = mkstemp(name);
        unlink(name);
        fcntl(caught, F_SETFL, O_APPEND);  // writes go to the end, wherever that is now
        dup2(caught, 1);
    }
    std::string out = TestFile_Read("/proc/self/fd/" + std::to_string(caught));
    return ftruncate(caught, 0) == 0 ? out : out + "(can't empty the caught output)";  // holds only what comes next
}

std::string TestFile_Write(const std::string &text) {
    char name[] = "/tmp/flyrate-test-XXXXXX";
    close(mkstemp(name));
    std::ofstream(name, std::ios::binary) << text;
    return name;
}

std::string TestFile_Read(const std::string &path) {
    std::stringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

std::string TestDir_Make(void) {
    char name[] = "/tmp/flyrate-dir-XXXXXX";
    return mkdtemp(name) ? name : "";
}

std::vector<std::string> TestDir_List(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code none;
    for (const auto &entry : std::filesystem::directory_iterator(dir, none)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

void TestDir_Remove(const std::string &dir) {
    std::error_code none;
    std::filesystem::remove_all(dir, none);
}

std::vector<std::string> TestText_Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Lines(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines) text += line + "\n";
    return text;
}
