// Crashes on purpose. Registered as a test that must fail, it proves that a
// crashing test cannot pass, wherever and under whatever emulator it runs.
#include <cstdio>

int main(int argc, char**) {
  volatile int* nowhere = nullptr;
  if (argc > 0) *nowhere = 1;  // Access violation.
  std::puts("not reached");
  return 0;
}
