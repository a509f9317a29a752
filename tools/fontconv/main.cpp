// fontconv INPUT.jhf OUTPUT.bin [FIRST_CODE]: Hershey text font to font.bin.
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "fontconv.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4) {
    std::fprintf(stderr, "usage: fontconv INPUT.jhf OUTPUT.bin [FIRST_CODE]\n");
    return 2;
  }
  std::uint32_t first = 32;
  if (argc == 4) first = static_cast<std::uint32_t>(std::strtoul(argv[3], nullptr, 10));
  std::ifstream in(argv[1]);
  if (!in) {
    std::fprintf(stderr, "fontconv: cannot open %s\n", argv[1]);
    return 1;
  }
  std::string error;
  auto font = tarnix::fontconv::parse_jhf(in, first, error);
  if (!font) {
    std::fprintf(stderr, "fontconv: %s: %s\n", argv[1], error.c_str());
    return 1;
  }
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  tarnix::fontconv::write_font(out, *font);
  out.close();
  if (!out) {
    std::fprintf(stderr, "fontconv: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
