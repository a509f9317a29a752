// make_dupip_pcap FILE [STATIONS]: writes a capture in which STATIONS (2 by
// default) stations claim 10.0.0.5, and prints what a duplicate-address
// detector should report for it.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "dupip_pcap.h"

int main(int argc, char** argv) {
  using namespace tarnix::testing_support;
  if (argc < 2 || argc > 3) {
    std::fprintf(stderr, "usage: make_dupip_pcap FILE [STATIONS 2..16]\n");
    return 2;
  }
  int stations = 2;
  if (argc == 3) {
    char* end = nullptr;
    long n = std::strtol(argv[2], &end, 10);
    if (end == argv[2] || *end != '\0' || n < 2 || n > 16) {
      std::fprintf(stderr, "make_dupip_pcap: STATIONS must be a number from 2 to 16\n");
      return 2;
    }
    stations = static_cast<int>(n);
  }
  std::string error = write_pcap(argv[1], dupip_scenario(stations));
  if (!error.empty()) {
    std::fprintf(stderr, "make_dupip_pcap: %s\n", error.c_str());
    return 1;
  }
  std::printf("10.0.0.5");
  for (const std::string& e : dupip_expected_ethers(stations)) std::printf(" %s", e.c_str());
  std::printf("\n");
  return 0;
}
