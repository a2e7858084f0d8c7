// Program entry of the service. The host is built out in service/; until then this runs
// nothing but the version switch.
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  if (argc > 1 && (std::strcmp(argv[1], "--version") == 0)) {
    std::printf("fenwold %s\n", FENWOLD_VERSION);
    return 0;
  }
  std::printf("fenwold %s\n", FENWOLD_VERSION);
  return 0;
}
