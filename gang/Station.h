// The station's rules: which port to flash when, from what the port watcher
// sees (the ports present at a time) and the flashes that end. Pure.
//
// - Every port present at the first look is flashed at once, and so is each
//   port that appears later and has not been flashed yet.
// - While a port's flash runs, its vanishing and coming back belong to that
//   flash (the board's reset, its restart).
// - After a flash ends, the port is flashed again only once it has been
//   absent for `settle` seconds and is back: a new board.
#pragma once

#include <map>
#include <string>
#include <vector>

class Station {
public:
    explicit Station(double settleSeconds) : settle_(settleSeconds) {}

    // The ports present at time `now` (seconds); returns the ports to start
    // a flash on now, which then count as flashing.
    std::vector<std::string> Look(const std::vector<std::string>& present, double now);

    // A port's flash ended at `now`.
    void FlashEnded(const std::string& port, double now);

    bool Flashing(const std::string& port) const;

private:
    enum class State { kNew, kFlashing, kFlashed };
    struct Port {
        State state = State::kNew;
        bool present = false;
        bool absentSet = false;
        double absentSince = 0;  // when it was last seen to go (state kFlashed)
    };
    double settle_;
    std::map<std::string, Port> ports_;
};
