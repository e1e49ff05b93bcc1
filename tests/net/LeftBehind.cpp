// The network stage's last check: no server process that this build's
// tests started may outlive them. Prints and kills whatever is left, and
// fails then; a leftover sredird spins on its vanished device and keeps a
// core busy for whatever runs after the tests.
#include <cstdio>
#include <string>
#include <vector>

#include "ServerProcess.h"

int main() {
    const std::vector<std::string> left = ServersLeftBehind(true);
    if (left.empty()) {
        printf("No server process of these tests is left.\n");
        return 0;
    }
    printf("%zu server process(es) outlived the tests that started them (killed now):\n", left.size());
    for (const std::string& line : left) printf("  %s\n", line.c_str());
    return 1;
}
