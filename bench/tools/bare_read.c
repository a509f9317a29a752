/* A capture file read through libpcap with a callback that only looks at
 * each frame: what any program reading the same file costs at least, as a
 * whole process. Prints the frames read. */
#include <pcap/pcap.h>
#include <stdint.h>
#include <stdio.h>

static void count_frame(u_char* user, const struct pcap_pkthdr* h, const u_char* bytes) {
  uint64_t* sum = (uint64_t*)user;
  *sum += h->len + bytes[0];
}

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: tarnix_bare_read FILE\n");
    return 2;
  }
  char err[PCAP_ERRBUF_SIZE];
  pcap_t* p = pcap_open_offline(argv[1], err);
  if (p == NULL) {
    fprintf(stderr, "tarnix_bare_read: %s\n", err);
    return 1;
  }
  uint64_t sum = 0;
  uint64_t frames = 0;
  int n;
  while ((n = pcap_dispatch(p, 255, count_frame, (u_char*)&sum)) > 0) frames += (uint64_t)n;
  if (n == PCAP_ERROR) {
    fprintf(stderr, "tarnix_bare_read: %s\n", pcap_geterr(p));
    pcap_close(p);
    return 1;
  }
  pcap_close(p);
  printf("%llu frames (checksum %llu)\n", (unsigned long long)frames, (unsigned long long)sum);
  return 0;
}
