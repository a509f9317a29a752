// tarnix-pdl: checks a protocol definition file and prints the protocol tree
// that Tarnix would build from it, so that a user can see how frames will
// be classified before starting the monitor.
#include <cstdio>
#include <cstring>
#include <string>

#include "core/alloc.h"
#include "pdl/protocol_tree.h"

namespace {

void usage(std::FILE* out) {
  std::fputs(
      "Usage: tarnix-pdl [--quiet] FILE\n"
      "Parses the protocol definition FILE and prints its protocol tree, one\n"
      "protocol a line in the order frames are tested: name, description,\n"
      "the field tested (width, offset or offsets, mask), the values that\n"
      "select it and its header length. Warnings about likely mistakes go to\n"
      "standard error.\n"
      "\n"
      "  -q, --quiet    print only errors and warnings\n"
      "  -h, --help     this text\n"
      "      --version  print the version\n"
      "\n"
      "Exit status: 0 when the file gives a tree, 1 when it does not (the error\n"
      "names the file, line and token), 2 for bad usage.\n",
      out);
}

}  // namespace

int main(int argc, char** argv) {
  tarnix::install_alloc_failure_handler();
  bool quiet = false;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      usage(stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("tarnix-pdl " TARNIX_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--quiet") == 0 || std::strcmp(argv[i], "-q") == 0) {
      quiet = true;
    } else if (path == nullptr && (argv[i][0] != '-' || argv[i][1] == '\0')) {
      path = argv[i];
    } else {
      std::fprintf(stderr, "tarnix-pdl: unexpected argument '%s'\n", argv[i]);
      usage(stderr);
      return 2;
    }
  }
  if (path == nullptr) {
    usage(stderr);
    return 2;
  }
  tarnix::PdlResult parsed = tarnix::pdl_parse(path);
  if (!parsed) {
    std::fprintf(stderr, "tarnix-pdl: %s\n", parsed.error.c_str());
    return 1;
  }
  for (const std::string& w : tarnix::protocol_tree_warnings(*parsed.tree))
    std::fprintf(stderr, "tarnix-pdl: %s: warning: %s\n", path, w.c_str());
  if (!quiet) std::fputs(tarnix::protocol_tree_dump(*parsed.tree).c_str(), stdout);
  return 0;
}
