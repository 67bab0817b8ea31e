#ifndef AGENT_LOOSE_VERSION_H
#define AGENT_LOOSE_VERSION_H

#include <string>
#include <vector>

/// A version number of any shape ("2.00.059.00.1644229038", "1.00.122",
/// "7.2b"), ordered part by part: the text splits into runs of digits
/// (compared as numbers, so "059" equals "59" and "10" follows "9") and
/// runs of letters (compared as text); ".", "-", "_" and other characters
/// only separate. A number orders before a letter run in the same place;
/// a version that is a prefix of another orders before it ("1.00" <
/// "1.00.1"). Empty text is the smallest version.
class Loose_Version {
 public:
  Loose_Version() = default;
  explicit Loose_Version(const std::string& text) { parse(text); }

  void parse(const std::string& text);
  const std::string& text() const { return text_; }

  /// <0, 0 or >0 as this version orders before, equal to or after `other`.
  int compare(const Loose_Version& other) const;

  bool operator<(const Loose_Version& o) const { return compare(o) < 0; }
  bool operator==(const Loose_Version& o) const { return compare(o) == 0; }
  bool operator!=(const Loose_Version& o) const { return compare(o) != 0; }
  bool operator>(const Loose_Version& o) const { return compare(o) > 0; }
  bool operator<=(const Loose_Version& o) const { return compare(o) <= 0; }
  bool operator>=(const Loose_Version& o) const { return compare(o) >= 0; }

 private:
  struct Part {
    bool number;
    unsigned long long value;  // for numbers (saturating)
    std::string word;          // for letter runs
  };
  std::string text_;
  std::vector<Part> parts_;
};

#endif
