#include "tools/nimbractl/CommandTable.h"

#include <algorithm>
#include <ostream>

namespace nimbractl {

CommandTable& CommandTable::shared() {
  // Built on first use: registrars in other files run during static
  // initialisation, in no particular order.
  static CommandTable table;
  return table;
}

void CommandTable::add(CommandFamily family) { families_.push_back(std::move(family)); }

const CommandFamily* CommandTable::find(std::string_view name) const {
  for (const auto& family : families_) {
    if (family.name == name) return &family;
  }
  return nullptr;
}

std::vector<const CommandFamily*> CommandTable::families() const {
  std::vector<const CommandFamily*> all;
  for (const auto& family : families_) all.push_back(&family);
  std::sort(all.begin(), all.end(), [](auto* a, auto* b) { return a->name < b->name; });
  return all;
}

int fail(Context& context, int status, std::string_view message) {
  context.err << "nimbractl: " << message << "\n";
  return status;
}

}  // namespace nimbractl
