#pragma once

#include <algorithm>
#include <string>
#include <string_view>

// Case folding for protocol names (header names, charset parameters, schemes). std::tolower follows the
// process locale, which the window toolkit sets: in a Turkish locale it does not map 'I' to 'i', so
// "LOCATION" would no longer match "Location". These fold A-Z only, whatever the locale.
namespace zvq::ascii {

constexpr char ToLower(char AChar) { return AChar >= 'A' && AChar <= 'Z' ? static_cast<char>(AChar - 'A' + 'a') : AChar; }
constexpr char ToUpper(char AChar) { return AChar >= 'a' && AChar <= 'z' ? static_cast<char>(AChar - 'a' + 'A') : AChar; }

constexpr bool EqualsIgnoringCase(std::string_view A, std::string_view B) {
  return A.size() == B.size() &&
         std::equal(A.begin(), A.end(), B.begin(), [](char x, char y) { return ToLower(x) == ToLower(y); });
}

inline std::string ToLower(std::string_view AText) {
  std::string lower(AText);
  for (char& c : lower) c = ToLower(c);
  return lower;
}

}  // namespace zvq::ascii
