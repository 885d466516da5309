#pragma once
// The INI key store a request packet is read into.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tarvina {

class TKeyStore {
 public:
  void Clear();
  // Empties the store, then reads the lines as INI text: trimmed, blank and
  // ";" lines skipped, "[name]" opens (or reopens) a section, "key=value"
  // splits at the first "=", names match without regard to ASCII case and
  // the last occurrence of a key wins.
  void Load(const std::vector<std::string>& lines);
  // Absent key, or a key stored without "=": "".
  std::string ReadString(const std::string& section, const std::string& key) const;
  // True when the key reads a value (possibly empty); a key line without "="
  // reads as absent.
  bool HasKey(const std::string& section, const std::string& key) const;
  bool HasSection(const std::string& section) const;
  // Every key of a section that reads a value, by its lower-case name.
  std::map<std::string, std::string> SectionValues(const std::string& section) const;

 private:
  // Folded key -> value; nullopt for a key line without "=".
  using Section = std::map<std::string, std::optional<std::string>>;
  const std::optional<std::string>* Find(const std::string& section,
                                         const std::string& key) const;
  std::map<std::string, Section> sections_;  // by folded name
};

}  // namespace tarvina
