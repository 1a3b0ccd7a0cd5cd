#include <cstdio>

// Placeholder until the test server lands.
int main() {
    std::fprintf(stderr, "vela-test-server: not available yet\n");
    return 1;
}
