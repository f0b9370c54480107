#include "frontend/DesiredState.h"

#include <algorithm>
#include <new>
#include <nlohmann/json.hpp>
#include <numeric>

#include "engine/AsciiText.h"
#include "engine/FileSecurity.h"
#include "engine/LinkWords.h"
#include "frontend/Arguments.h"
#include "frontend/Json.h"
#include "frontend/Messages.h"
#include "platform/UniqueHandle.h"

namespace frontend {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kLongest = 1023;  // characters of a link, target or label, as the service
constexpr std::size_t kNowhere = std::string_view::npos;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

struct Place {
  std::size_t line = 1, column = 1;
};

// Where byte `offset` of `text` is, columns counted in characters as an editor shows them.
Place PlaceOf(std::string_view text, std::size_t offset) {
  Place place;
  for (std::size_t i = 0; i < std::min(offset, text.size()); ++i) {
    if (text[i] == '\n') {
      ++place.line;
      place.column = 1;
    } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
      ++place.column;
    }
  }
  return place;
}

std::u16string PlaceText(std::size_t line, std::size_t column) {
  return u"line " + DecimalText(static_cast<long long>(line)) + u", column " +
         DecimalText(static_cast<long long>(column));
}

// Printable ASCII as it is; anything else as '?' (the parser's messages quote raw input).
std::u16string Ascii(std::string_view text) {
  std::u16string out;
  for (const char c : text) out.push_back(c >= 0x20 && c < 0x7F ? char16_t(c) : u'?');
  return out;
}

// The parser's own account of a fault, without its prefix, its position (ours is given) and the
// input it quotes.
std::u16string ParserDetail(std::string_view what) {
  if (const std::size_t colon = what.find(": "); colon != kNowhere) what.remove_prefix(colon + 2);
  std::string detail(what);
  if (const std::size_t quoted = detail.find("; last read: '"); quoted != kNowhere) {
    const std::size_t expected = detail.rfind("'; expected");
    detail.erase(quoted, expected != kNowhere && expected > quoted ? expected + 1 - quoted
                                                                   : detail.size() - quoted);
  }
  return Ascii(detail);
}

// The first reading, before any value is kept: the syntax, how deep values nest, and a member
// named twice in one entry (the parser would keep the last without a word), stopped at the
// first fault without recursion.
class Checker : public nlohmann::json_sax<Json> {
 public:
  bool null() override { return Value(); }
  bool boolean(bool) override { return Value(); }
  bool number_integer(number_integer_t) override { return Value(); }
  bool number_unsigned(number_unsigned_t) override { return Value(); }
  bool number_float(number_float_t, const string_t&) override { return Value(); }
  bool string(string_t&) override { return Value(); }
  bool binary(binary_t&) override { return Value(); }
  bool start_object(std::size_t) override {
    if (!Value() || !Deeper()) return false;
    if (depth_ == 2) names_.clear();  // an entry's own members, not those of a value in it
    return true;
  }
  bool key(string_t& name) override {
    if (depth_ != 2 || !inArray_) return true;
    if (std::find(names_.begin(), names_.end(), name) != names_.end()) {
      repeated = true;
      twice = name;
      return false;
    }
    names_.push_back(name);
    return true;
  }
  bool end_object() override {
    --depth_;
    return true;
  }
  bool start_array(std::size_t) override {
    if (depth_ == 0) inArray_ = true;
    return Value() && Deeper();
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t position, const std::string&, const Json::exception& ex) override {
    faultAt = position > 0 ? position - 1 : 0;  // the parser counts the bytes it has read
    fault = ParserDetail(ex.what());
    return false;
  }

  bool tooDeep = false;
  std::size_t faultAt = kNowhere;
  std::u16string fault;
  bool repeated = false;  // entry number `entries` names the member `twice` twice
  std::string twice;
  std::size_t entries = 0;

 private:
  bool Value() {
    if (depth_ == 1) ++entries;
    return true;
  }
  bool Deeper() {
    tooDeep = ++depth_ > kDeepestDesiredState;
    return !tooDeep;
  }

  int depth_ = 0;
  bool inArray_ = false;  // the top level is an array, whose objects are entries
  std::vector<std::string> names_;
};

// Where each element of the top-level array begins, and the first opening nested deeper than
// kDeepestDesiredState. Only for text the parser has read without fault (to its end, or to that
// opening), so telling strings from the rest is all the scan needs to know of JSON.
struct Layout {
  std::vector<std::size_t> elements;
  std::size_t tooDeep = kNowhere;
};

Layout Scan(std::string_view text) {
  Layout layout;
  int depth = 0;
  bool inString = false, escaped = false, elementNext = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (elementNext && c != ']') layout.elements.push_back(i);
    elementNext = false;
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > kDeepestDesiredState) {
        layout.tooDeep = i;
        break;
      }
      elementNext = depth == 1 && c == '[';
    } else if (c == ']' || c == '}') {
      --depth;
    } else if (c == ',') {
      elementNext = depth == 1;
    }
  }
  return layout;
}

// C:\..., \\server\share\..., \\?\...: a path that means the same wherever the file is applied.
bool IsFullPath(const std::u16string& path) {
  if (path.size() < 3) return false;
  if (IsAsciiLetter(path[0])) return path[1] == u':' && path[2] == u'\\';
  return path[0] == u'\\' && path[1] == u'\\' && path[2] != u'\\';
}

// The text a member holds; empty when it holds something else, which no word is.
std::u16string WordOf(const Json& member) {
  std::u16string word;
  const std::string* text = member.get_ptr<const std::string*>();
  if (text == nullptr || !Utf16FromUtf8(*text, word)) word.clear();
  return word;
}

int CompareNoCase(const std::u16string& a, const std::u16string& b) {
  return win::CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                   static_cast<int>(b.size()), win::TRUE);
}

// A member that must be text when it is there: 0 with its text, or the code and what is wrong
// (the end of a sentence about the entry).
win::DWORD TextMember(const Json& entry, const char* name, bool required, std::u16string& text,
                      std::u16string& fault) {
  text.clear();
  const std::u16string quoted = u"\"" + Ascii(name) + u"\"";
  const auto member = entry.find(name);
  if (member == entry.end()) {
    if (!required) return 0;
    fault = u"has no " + quoted;
    return win::ERROR_INVALID_DATA;
  }
  if (!member->is_string() || !Utf16FromUtf8(member->get_ref<const std::string&>(), text)) {
    fault = u"has a " + quoted + u" that is not text";
    return win::ERROR_INVALID_DATA;
  }
  if (required && text.empty()) {
    fault = u"has an empty " + quoted;
    return win::ERROR_INVALID_DATA;
  }
  if (text.size() > kLongest) {
    fault = u"has a " + quoted + u" of " + DecimalText(kLongest + 1) + u" characters or more";
    return win::ERROR_FILENAME_EXCED_RANGE;
  }
  // Windows would end the name at a NUL and act on what comes before it.
  if (text.find(u'\0') != std::u16string::npos) {
    fault = u"has a NUL character in its " + quoted;
    return win::ERROR_INVALID_DATA;
  }
  return 0;
}

// One element of the array: 0 with `create` saying whether it is a Create entry, and the link
// when it is; or the code and what is wrong.
win::DWORD ReadEntry(const Json& entry, bool& create, DesiredLink& link, std::u16string& fault) {
  if (!entry.is_object()) {
    fault = u"is not a JSON object";
    return win::ERROR_INVALID_DATA;
  }
  const auto action = entry.find("action");
  const auto actionNamed =
      action == entry.end() ? std::nullopt : ActionOfWord(WordOf(*action));
  if (!actionNamed) {
    fault = u"has no \"action\" of \"Create\" or \"Delete\"";
    return win::ERROR_INVALID_DATA;
  }
  // A list keeps its Delete records; they ask for nothing to be made.
  create = *actionNamed == LinkAction::Create;
  if (!create) return 0;

  const auto kind = entry.find("kind");
  if (kind == entry.end()) {
    fault = u"has no \"kind\"";
    return win::ERROR_INVALID_DATA;
  }
  const auto kindNamed = KindOfWord(WordOf(*kind));
  if (!kindNamed) {
    fault = u"has an unknown \"kind\" (Drive, Folder or File is meant)";
    return win::ERROR_INVALID_DATA;
  }
  link.kind = *kindNamed;
  const bool drive = link.kind == LinkKind::Drive;
  if (const win::DWORD error = TextMember(entry, "link", true, link.link, fault)) return error;
  if (const win::DWORD error = TextMember(entry, "target", true, link.target, fault)) return error;
  if (const win::DWORD error = TextMember(entry, "label", false, link.label, fault)) return error;
  if (drive && !IsDriveLetterName(link.link)) {
    fault = u"has a \"link\" that is not a drive letter and a colon";
    return win::ERROR_INVALID_DATA;
  }
  if (drive) link.link[0] = AsciiUpper(link.link[0]);
  // The file may be applied on another machine or from another folder than where it was
  // written, so a relative path would name another place.
  if (!drive && !IsFullPath(link.link)) {
    fault = u"has a \"link\" that is not a full path (C:\\..., \\\\server\\share\\...)";
    return win::ERROR_INVALID_DATA;
  }
  if (!IsFullPath(link.target)) {
    fault = u"has a \"target\" that is not a full path (C:\\..., \\\\server\\share\\...)";
    return win::ERROR_INVALID_DATA;
  }
  if (!drive && entry.contains("label")) {
    fault = u"has a \"label\", which only a drive has";
    return win::ERROR_INVALID_DATA;
  }
  if (entry.contains("label") && !IsDriveLabel(link.label)) {
    fault = u"has a \"label\" that is not 1 to " + DecimalText(kLongestLabel) +
            u" characters free of control characters";
    return win::ERROR_INVALID_DATA;
  }
  return 0;
}

std::u16string EntryText(std::size_t number, std::size_t line, std::size_t column) {
  return u"entry " + DecimalText(static_cast<long long>(number)) + u" (" + PlaceText(line, column) +
         u")";
}

// Two Create entries for one link (a drive letter, or a path, which is one name whatever its
// kind): 0, or the pair whose later entry comes first in the file, told.
win::DWORD FindConflict(const std::vector<DesiredLink>& links,
                        const std::vector<std::size_t>& numbers, std::u16string& problem) {
  std::vector<std::size_t> order(links.size());
  std::iota(order.begin(), order.end(), 0);
  const auto drive = [&](std::size_t i) { return links[i].kind == LinkKind::Drive; };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (drive(a) != drive(b)) return drive(a);
    return CompareNoCase(links[a].link, links[b].link) == win::CSTR_LESS_THAN;
  });
  std::size_t first = kNowhere, second = kNowhere;
  for (std::size_t k = 1, runStart = 0; k < order.size(); ++k) {
    const std::size_t a = order[runStart], b = order[k];
    if (drive(a) != drive(b) || CompareNoCase(links[a].link, links[b].link) != win::CSTR_EQUAL) {
      runStart = k;
      continue;
    }
    // The run is in file order: its second member is the first to repeat its first.
    if (k == runStart + 1 && (second == kNowhere || b < second)) first = a, second = b;
  }
  if (second == kNowhere) return 0;
  const DesiredLink& was = links[first];
  const DesiredLink& is = links[second];
  const std::u16string pair = EntryText(numbers[second], is.line, is.column) + u" and " +
                              EntryText(numbers[first], was.line, was.column);
  const std::u16string contradiction = u"The file contradicts itself: " + pair;
  if (was.kind != is.kind) {
    problem = contradiction + u" make " + is.link + u" both a " + KindName(was.kind) + u" and a " +
              KindName(is.kind) + u" link.";
  } else if (CompareNoCase(was.target, is.target) != win::CSTR_EQUAL) {
    problem = contradiction + u" lead " + is.link + u" onto two targets, " + was.target + u" and " +
              is.target + u".";
  } else if (!was.label.empty() && !is.label.empty() && was.label != is.label) {
    problem = contradiction + u" give " + is.link + u" two labels, \"" + was.label + u"\" and \"" +
              is.label + u"\".";
  } else {
    problem = u"The file names one link twice: " + pair + u" both make the " + KindName(is.kind) +
              u" link " + is.link + u".";
  }
  return win::ERROR_INVALID_DATA;
}

win::DWORD Parse(std::string_view text, std::vector<DesiredLink>& out, std::u16string& problem) {
  Checker checker;
  if (!Json::sax_parse(text.data(), text.data() + text.size(), &checker)) {
    const Layout layout = Scan(text);
    if (checker.tooDeep) {
      const Place place = PlaceOf(text, layout.tooDeep);
      problem = u"The file nests values more than " + DecimalText(kDeepestDesiredState) +
                u" levels deep at " + PlaceText(place.line, place.column) + u".";
    } else if (checker.repeated && checker.entries <= layout.elements.size()) {
      const Place place = PlaceOf(text, layout.elements[checker.entries - 1]);
      problem = u"Entry " + DecimalText(static_cast<long long>(checker.entries)) +
                u" of the file, at " + PlaceText(place.line, place.column) + u", names \"" +
                Ascii(checker.twice) + u"\" twice.";
    } else {
      const Place place = PlaceOf(text, checker.faultAt);
      problem = u"The file is not valid JSON at " + PlaceText(place.line, place.column) + u": " +
                checker.fault + u".";
    }
    return win::ERROR_INVALID_DATA;
  }
  const Json document = Json::parse(text.data(), text.data() + text.size());
  const Layout layout = Scan(text);
  if (!document.is_array()) {
    const std::size_t start = text.find_first_not_of(" \t\r\n");
    const Place place = PlaceOf(text, start);
    problem = u"The file holds no JSON array of links: its value at " +
              PlaceText(place.line, place.column) + u" is not an array.";
    return win::ERROR_INVALID_DATA;
  }
  std::vector<std::size_t> numbers;  // of the Create entries, counting from 1
  for (std::size_t i = 0; i < document.size(); ++i) {
    const Place place = PlaceOf(text, i < layout.elements.size() ? layout.elements[i] : 0);
    DesiredLink link;
    link.line = place.line;
    link.column = place.column;
    bool create = false;
    std::u16string fault;
    if (const win::DWORD error = ReadEntry(document[i], create, link, fault)) {
      problem = u"Entry " + DecimalText(static_cast<long long>(i + 1)) + u" of the file, at " +
                PlaceText(place.line, place.column) + u", " + fault + u".";
      return error;
    }
    if (!create) continue;
    out.push_back(std::move(link));
    numbers.push_back(i + 1);
  }
  return FindConflict(out, numbers, problem);
}

}  // namespace

win::DWORD ParseDesiredState(std::string_view bytes, std::vector<DesiredLink>& out,
                             std::u16string& problem) {
  out.clear();
  problem.clear();
  if (bytes.size() > kLargestDesiredStateFile) {
    const Place place = PlaceOf(bytes, kLargestDesiredStateFile);
    problem = u"The file goes on past " + DecimalText(kLargestDesiredStateFile) + u" bytes, at " +
              PlaceText(place.line, place.column) + u", more than a list of links needs.";
    return win::ERROR_FILE_TOO_LARGE;
  }
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  win::DWORD error = 0;
  try {
    error = Parse(bytes, out, problem);
  } catch (const std::bad_alloc&) {
    problem = u"There is not enough memory to read the file.";
    error = win::ERROR_NOT_ENOUGH_MEMORY;
  } catch (const Json::exception& ex) {
    // The first reading found no fault, so the second has none to throw; kept safe all the same.
    problem = u"The file cannot be read as JSON: " + ParserDetail(ex.what()) + u".";
    error = win::ERROR_INVALID_DATA;
  }
  if (error != 0) out.clear();
  return error;
}

win::DWORD ReadDesiredState(const std::u16string& path, std::vector<DesiredLink>& out,
                            std::u16string& problem, std::u16string& untrusted) {
  out.clear();
  problem.clear();
  untrusted.clear();
  win::UniqueFile file(win::CreateFileW(path.c_str(), win::GENERIC_READ, win::FILE_SHARE_READ,
                                        nullptr, win::OPEN_EXISTING, win::FILE_ATTRIBUTE_NORMAL,
                                        nullptr));
  win::DWORD error = file ? 0 : win::GetLastError();
  std::string bytes;
  constexpr std::size_t kPiece = 64 * 1024;
  // One byte past the limit is enough to know the file is too large.
  while (error == 0 && bytes.size() <= kLargestDesiredStateFile) {
    const std::size_t have = bytes.size();
    const std::size_t want = std::min(kPiece, kLargestDesiredStateFile + 1 - have);
    bytes.resize(have + want);
    win::DWORD read = 0;
    if (!win::ReadFile(file.Get(), bytes.data() + have, static_cast<win::DWORD>(want), &read,
                       nullptr)) {
      error = win::GetLastError();
      if (error == 0) error = win::ERROR_READ_FAULT;  // a failure is never success
    }
    bytes.resize(have + std::min<std::size_t>(read, want));
    if (read == 0) break;
  }
  if (error != 0) {
    problem = path + u" cannot be read: " + OutcomeText(error);
    return error;
  }
  // Not shared for writing while it is open, so the bytes read are the ones checked.
  untrusted = WhyOthersMayChange(file.Get());
  return ParseDesiredState(bytes, out, problem);
}

}  // namespace frontend
