// The station's rules as a state machine per port.
#include "Station.h"

#include <algorithm>

std::vector<std::string> Station::Look(const std::vector<std::string>& present, double now) {
    std::vector<std::string> start;
    for (auto& entry : ports_) {
        Port& port = entry.second;
        const bool here = std::find(present.begin(), present.end(), entry.first) != present.end();
        if (port.state == State::kFlashed && port.present && !here) {
            port.absentSet = true;
            port.absentSince = now;
        }
        port.present = here;
    }
    for (const std::string& name : present) {
        Port& port = ports_[name];
        port.present = true;
        if (port.state == State::kNew) {
            port.state = State::kFlashing;
            start.push_back(name);
        } else if (port.state == State::kFlashed && port.absentSet) {
            // Back again: a new board once it was gone long enough, the same
            // one restarting otherwise.
            if (now - port.absentSince >= settle_) {
                port.state = State::kFlashing;
                start.push_back(name);
            }
            port.absentSet = false;
        }
    }
    return start;
}

void Station::FlashEnded(const std::string& port, double now) {
    Port& p = ports_[port];
    p.state = State::kFlashed;
    p.absentSet = !p.present;
    p.absentSince = now;
}

bool Station::Flashing(const std::string& port) const {
    auto it = ports_.find(port);
    return it != ports_.end() && it->second.state == State::kFlashing;
}
