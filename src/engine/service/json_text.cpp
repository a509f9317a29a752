#include "service/json_text.h"

#include "core/wire_text.h"

namespace tarnix::service {

std::string json_quote(std::string_view raw) {
  return escape_json(raw, JsonControls::kShortForms);
}

void json_field(std::string& out, std::string_view key, std::string_view value) {
  if (!out.empty() && out.back() != '{') out += ',';
  out += json_quote(key);
  out += ':';
  out += value;
}

}  // namespace tarnix::service
