#include "server/KeyStore.h"

namespace tarvina {

namespace {

bool IsBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

std::string TrimLeft(const std::string& s) {
  std::size_t b = 0;
  while (b < s.size() && IsBlank(s[b])) ++b;
  return s.substr(b);
}

std::string TrimRight(const std::string& s) {
  std::size_t e = s.size();
  while (e > 0 && IsBlank(s[e - 1])) --e;
  return s.substr(0, e);
}

std::string Trim(const std::string& s) { return TrimLeft(TrimRight(s)); }

// Names come off a 7-bit wire, so ASCII folding is all the case-blindness needed.
std::string Fold(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

}  // namespace

void TKeyStore::Clear() { sections_.clear(); }

void TKeyStore::Load(const std::vector<std::string>& lines) {
  Clear();
  Section* current = nullptr;
  for (const auto& raw : lines) {
    const std::string line = Trim(raw);
    if (line.empty() || line.front() == ';') continue;
    if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
      current = &sections_[Fold(Trim(line.substr(1, line.size() - 2)))];
      continue;
    }
    if (!current) continue;
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos)
      (*current)[Fold(line)] = std::nullopt;
    else
      (*current)[Fold(TrimRight(line.substr(0, eq)))] = TrimLeft(line.substr(eq + 1));
  }
}

const std::optional<std::string>* TKeyStore::Find(const std::string& section,
                                                  const std::string& key) const {
  const auto s = sections_.find(Fold(section));
  if (s == sections_.end()) return nullptr;
  const auto k = s->second.find(Fold(key));
  if (k == s->second.end()) return nullptr;
  return &k->second;
}

std::string TKeyStore::ReadString(const std::string& section, const std::string& key) const {
  const auto* v = Find(section, key);
  return v && *v ? **v : std::string();
}

bool TKeyStore::HasKey(const std::string& section, const std::string& key) const {
  const auto* v = Find(section, key);
  return v && v->has_value();
}

bool TKeyStore::HasSection(const std::string& section) const {
  return sections_.count(Fold(section)) != 0;
}

std::map<std::string, std::string> TKeyStore::SectionValues(const std::string& section) const {
  std::map<std::string, std::string> values;
  const auto s = sections_.find(Fold(section));
  if (s == sections_.end()) return values;
  for (const auto& [key, value] : s->second)
    if (value) values[key] = *value;
  return values;
}

}  // namespace tarvina
