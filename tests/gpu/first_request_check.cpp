// Process-wide first-request behaviour of PrebuildCudaEnv, checked in a fresh
// process through the shared library as a host calls it. With or without a
// usable device the first call returns 0.1 (the warm-up sample has clarity
// 0 on both paths); once any export has asked for the GPU it returns 0.0.
//
//   first_request_check prebuild      PrebuildCudaEnv comes first
//   first_request_check subgray       getSubGray with the use-GPU flag and
//                                     empty sizes comes first
#include <cstdio>
#include <cstring>

#include "pcbinspect/exports.h"

namespace {

int failures = 0;

void expect(bool ok, const char* what, float got) {
    if (!ok) {
        std::fprintf(stderr, "first request check failed: %s (got %.9g)\n", what, got);
        ++failures;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    if (std::strcmp(argv[1], "prebuild") == 0) {
        const float first = PrebuildCudaEnv();
        expect(first == 0.1f, "first PrebuildCudaEnv returns 0.1", first);
    } else if (std::strcmp(argv[1], "subgray") == 0) {
        getSubGray(nullptr, 0, 0, 0, nullptr, 0, 0, 0, 0.0f, 0.0f, 45.0f, true);
        const float first = PrebuildCudaEnv();
        expect(first == 0.0f, "PrebuildCudaEnv after a GPU request returns 0.0", first);
    } else {
        return 2;
    }
    const float later = PrebuildCudaEnv();
    expect(later == 0.0f, "later PrebuildCudaEnv returns 0.0", later);
    std::printf("first request check (%s): %s\n", argv[1], failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
