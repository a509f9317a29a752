#include "core/alloc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <unistd.h>

namespace tarnix {

void alloc_failure() {
  static const char kMessage[] = "ERROR: Could not allocate memory\n";
  // write(2) rather than stdio: stdio may itself need memory.
  ssize_t ignored = ::write(STDERR_FILENO, kMessage, sizeof kMessage - 1);
  (void)ignored;
  std::_Exit(-1);
}

namespace {
void new_handler() { alloc_failure(); }
}  // namespace

void install_alloc_failure_handler() { std::set_new_handler(new_handler); }

void* xmalloc(std::size_t size) {
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) alloc_failure();
  return p;
}

char* xstrdup(const char* text) {
  if (text == nullptr) return nullptr;
  std::size_t n = std::strlen(text) + 1;
  char* copy = static_cast<char*>(xmalloc(n));
  std::memcpy(copy, text, n);
  return copy;
}

std::string strdup_until(std::string_view text, char delimiter) {
  auto pos = text.find(delimiter);
  return std::string(pos == std::string_view::npos ? text : text.substr(0, pos));
}

void spaces_to_nul(char* text) {
  if (text == nullptr) return;
  for (; *text != '\0'; ++text)
    if (*text == ' ') *text = '\0';
}

void spaces_to_nul(std::string& text) {
  for (char& c : text)
    if (c == ' ') c = '\0';
}

void escape_backslashes(char* dest, const char* text) {
  while (*text != '\0') {
    if (*text == '\\') *dest++ = '\\';
    *dest++ = *text++;
  }
  *dest = '\0';
}

}  // namespace tarnix
