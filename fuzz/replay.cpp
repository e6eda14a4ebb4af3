// replay.cpp: runs the lifecycle fuzz target once over every file in the
// directories given, as the normal test run does with the committed corpus,
// so a regression on a known input fails without a fuzzer.
#include <stdint.h>
#include <stdio.h>

#include "tests/support/files.h"

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

int main(int argc, char **argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    int count = 0;
    for (int i = 1; i < argc; i++) {
        for (const std::string &name : TestDir_List(argv[i])) {
            std::string input = TestFile_Read(std::string(argv[i]) + "/" + name);
            LLVMFuzzerTestOneInput((const uint8_t *)input.data(), input.size());
            count++;
        }
    }
    fprintf(stderr, "replayed %d inputs\n", count);
    return count > 0 ? 0 : 1;
}
