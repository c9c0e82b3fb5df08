/* A host program, written in C as hosts are, that loads the library at run
 * time and calls its exports by their plain names. */
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>

#include "pcbinspect/exports.h"

typedef const char *(*TextFn)(void);
typedef void (*CopyFn)(uint8_t *, int32_t, int32_t, int32_t, const uint8_t *, int32_t, int32_t,
                       int32_t);

static int failures = 0;

static void expect(int ok, const char *what) {
    if (!ok) {
        fprintf(stderr, "host check failed: %s\n", what);
        ++failures;
    }
}

int main(int argc, char **argv) {
    if (argc < 2) return 2;
    void *lib = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!lib) {
        fprintf(stderr, "dlopen: %s\n", dlerror());
        return 1;
    }
    TextFn buildTime = (TextFn)dlsym(lib, "getBuildTime");
    TextFn lastError = (TextFn)dlsym(lib, "getLastError");
    CopyFn copy = (CopyFn)dlsym(lib, "copyGray");
    expect(buildTime && lastError && copy, "exports found by plain name");
    if (failures) return 1;

    expect(buildTime() == buildTime() && strlen(buildTime()) == 20, "build time text");
    expect(lastError()[0] == '\0', "last error empty at load");

    /* 5 x 3 source with stride 7 into 4 x 4 destination with stride 6. */
    uint8_t src[21], dst[24];
    for (int i = 0; i < 21; ++i) src[i] = (uint8_t)(i * 11 + 3);
    memset(dst, 0xEE, sizeof dst);
    copy(dst, 4, 6, 4, src, 5, 7, 3);
    for (int y = 0; y < 4; ++y) {
        for (int x = 0; x < 6; ++x) {
            const uint8_t want = (y < 3 && x < 4) ? src[y * 7 + x] : 0xEE;
            expect(dst[y * 6 + x] == want, "copyGray pixel");
        }
    }
    copy(dst, 4, 3, 4, src, 5, 7, 3);
    expect(strcmp(lastError(), "copyGray: destination stride 3 is below its width 4") == 0,
           "rejection message");
    dlclose(lib);
    printf("host check: %s\n", failures ? "FAILED" : "ok");
    return failures ? 1 : 0;
}
