// tarnix-cli: the engine without a display.
#include <cstdio>
#include <cstring>

#include "core/alloc.h"

namespace {

void usage(std::FILE* out) {
  std::fputs(
      "usage: tarnix-cli [options]\n"
      "  --help       this text\n"
      "  --version    print the version\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  tarnix::install_alloc_failure_handler();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      usage(stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("tarnix-cli 1.3");
      return 0;
    }
    std::fprintf(stderr, "tarnix-cli: unknown option '%s'\n", argv[i]);
    usage(stderr);
    return 2;
  }
  usage(stdout);
  return 0;
}
