// capture.cpp: fd-level stdout capture and temporary files for tests.
#include "tests/support/capture.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

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
    fflush(stdout);
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
