// files.cpp: the catch of descriptor 1 and scratch files for tests.
#include "tests/support/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
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
    // Taken and emptied, so the file holds only what came since.
    std::string out;
    char buf[4096];
    for (ssize_t n; (n = pread(caught, buf, sizeof buf, (off_t)out.size())) > 0;) out.append(buf, (size_t)n);
    if (ftruncate(caught, 0) != 0) out += "(can't empty the caught output)";
    return out;
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
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d))
            if (e->d_name != std::string(".") && e->d_name != std::string("..")) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

void TestDir_Remove(const std::string &dir) {
    for (const std::string &name : TestDir_List(dir)) unlink((dir + "/" + name).c_str());
    rmdir(dir.c_str());
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
