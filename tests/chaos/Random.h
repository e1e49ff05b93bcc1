// A small random generator (splitmix64) whose sequence is the same on every
// compiler and library, so that a seed replays the same session anywhere;
// the standard library's distributions differ between implementations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>

class Random {
public:
    explicit Random(uint64_t seed) : state_(seed) {}

    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // A whole number from lo to hi, both included (hi >= lo). The modulo's
    // bias is far below anything a few thousand sessions could show.
    int64_t Range(int64_t lo, int64_t hi) {
        return lo + static_cast<int64_t>(Next() % static_cast<uint64_t>(hi - lo + 1));
    }

    // True in `percent` cases out of a hundred.
    bool Percent(int percent) { return Range(0, 99) < percent; }

    // An index into `weights`, each drawn in proportion to its weight.
    size_t Pick(std::initializer_list<int> weights) {
        int64_t total = 0;
        for (int w : weights) total += w;
        int64_t x = Range(0, total - 1);
        size_t i = 0;
        for (int w : weights) {
            if (x < w) return i;
            x -= w;
            ++i;
        }
        return weights.size() - 1;
    }

private:
    uint64_t state_;
};
