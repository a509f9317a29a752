// Allocation and small string helpers shared by every subsystem.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tarnix {

// The one place that reacts to running out of memory: the message the user
// sees, then the process ends with status -1. Installed as the C++ new
// handler so that `new`, containers and xmalloc all end the same way.
[[noreturn]] void alloc_failure();
void install_alloc_failure_handler();

// Never returns null: failure ends the process through alloc_failure().
void* xmalloc(std::size_t size);
char* xstrdup(const char* text);

// Text up to (not including) the first `delimiter`, or the whole text.
std::string strdup_until(std::string_view text, char delimiter);

// Replaces every blank (0x20) in place by NUL.
void spaces_to_nul(char* text);
void spaces_to_nul(std::string& text);

// Copies text into dest with every backslash doubled. dest must hold
// 2 * strlen(text) + 1 bytes.
void escape_backslashes(char* dest, const char* text);

}  // namespace tarnix
