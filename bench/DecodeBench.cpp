// tessan-bench-decode: times the tool's image file decoder (ReadImageFile,
// as main calls it: open, read and decode the whole file) on one file.
//
// Usage: tessan-bench-decode FILE [RUNS]
// Prints "bytes N fnv1a H" (H: the decoded bytes' 64-bit FNV-1a hash, so
// a caller can check the result), one "run R ms X" line per run and
// "median ms X".
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "loader/Image.h"

namespace {

double NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

unsigned char gImage[kImageCapacity];

unsigned long long Fnv1a(const unsigned char* p, size_t n) {
    unsigned long long h = 14695981039346656037ull;
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
    return h;
}

}  // namespace

int main(int argc, char** argv) {
    long runs = 11;
    if (argc == 3) {
        char* end = nullptr;
        errno = 0;
        runs = strtol(argv[2], &end, 10);
        if (errno != 0 || *end != '\0' || runs < 1 || runs > 100000) runs = 0;
    }
    if (argc < 2 || argc > 3 || runs == 0) {
        printf("usage: tessan-bench-decode FILE [RUNS]\n");
        return 2;
    }

    std::vector<double> times;
    size_t length = 0;
    for (long r = 0; r < runs; ++r) {
        const double start = NowMs();
        FILE* file = fopen(argv[1], "rb");
        if (file == nullptr) {
            printf("cannot open %s\n", argv[1]);
            return 1;
        }
        ImageRead result = ReadImageFile(file, gImage, kImageCapacity, &length);
        fclose(file);
        const double elapsed = NowMs() - start;
        if (result != ImageRead::kOk) {
            printf("%s does not decode as an image\n", argv[1]);
            return 1;
        }
        times.push_back(elapsed);
    }
    printf("bytes %zu fnv1a %016llx\n", length, Fnv1a(gImage, length));
    for (size_t r = 0; r < times.size(); ++r) printf("run %zu ms %.4f\n", r + 1, times[r]);
    std::sort(times.begin(), times.end());
    size_t m = times.size();
    double median = m % 2 ? times[m / 2] : (times[m / 2 - 1] + times[m / 2]) / 2;
    printf("median ms %.4f\n", median);
    return 0;
}
