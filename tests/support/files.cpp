// files.cpp: descriptor-level stdout capture and scratch files for tests.
#include "tests/support/files.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>

static int savedFd = -1;
static int captureFd = -1;

void StdoutCapture_Begin(void) {
    fflush(stdout);
    char name[] = "/tmp/flyrate-stdout-XXXXXX";
    captureFd = mkstemp(name);
    unlink(name);
    savedFd = dup(1);
    dup2(captureFd, 1);
}

std::string StdoutCapture_End(void) {
    dup2(savedFd, 1);
    close(savedFd);
    std::string out;
    lseek(captureFd, 0, SEEK_SET);
    char buf[4096];
    ssize_t n;
    while ((n = read(captureFd, buf, sizeof buf)) > 0) out.append(buf, (size_t)n);
    close(captureFd);
    savedFd = captureFd = -1;
    return out;
}

std::string TestFile_Write(const std::string &text) {
    char name[] = "/tmp/flyrate-test-XXXXXX";
    int fd = mkstemp(name);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += (size_t)n;
    }
    close(fd);
    return name;
}

std::string TestDir_Make(void) {
    char name[] = "/tmp/flyrate-dir-XXXXXX";
    return mkdtemp(name) ? std::string(name) : std::string();
}

std::string TestFile_Read(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> TestDir_List(const std::string &dir) {
    std::vector<std::string> names;
    if (DIR *d = opendir(dir.c_str())) {
        while (dirent *e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
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
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
