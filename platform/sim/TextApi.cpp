// Text functions of user32 and oleaut32 that a registry script needs: stepping through
// characters, upper-casing, and reading a number.
#include <cstdint>
#include <string>

#include "platform/sim/MachineState.h"

namespace sim {
namespace {

// Combining marks (general category Mn) that a user sees as part of the character before:
// the diacritical blocks. Windows' table covers every nonspacing mark; the programs' texts
// hold none beyond these.
bool IsCombiningMark(char16_t c) {
  return (c >= 0x0300 && c <= 0x036F) || (c >= 0x0483 && c <= 0x0489) ||
         (c >= 0x1AB0 && c <= 0x1AFF) || (c >= 0x1DC0 && c <= 0x1DFF) ||
         (c >= 0x20D0 && c <= 0x20FF) || (c >= 0xFE20 && c <= 0xFE2F);
}

bool IsBlank(char16_t c) {
  return c == u' ' || (c >= u'\t' && c <= u'\r');
}

int DigitValue(char16_t c, int radix) {
  int value = -1;
  if (c >= u'0' && c <= u'9') value = c - u'0';
  if (c >= u'a' && c <= u'f') value = c - u'a' + 10;
  if (c >= u'A' && c <= u'F') value = c - u'A' + 10;
  return value < radix ? value : -1;
}

constexpr std::uint64_t kMaxUi4 = 0xFFFFFFFFu;

// "&H1F" and "&O17": the digits taken as an unsigned number.
win::HRESULT ParseRadix(std::u16string_view text, int radix, win::ULONG& out) {
  std::size_t i = 0;
  std::uint64_t value = 0;
  bool overflow = false;
  for (; i < text.size() && DigitValue(text[i], radix) >= 0; ++i) {
    value = value * radix + DigitValue(text[i], radix);
    if (value > kMaxUi4) overflow = true, value = kMaxUi4 + 1;
  }
  if (i == 0) return win::DISP_E_TYPEMISMATCH;
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i != text.size()) return win::DISP_E_TYPEMISMATCH;
  if (overflow) return win::DISP_E_OVERFLOW;
  out = static_cast<win::ULONG>(value);
  return win::S_OK;
}

// A decimal number in the en-US form: blanks, a sign, digits with thousands separators, a
// fraction and an exponent, blanks. Kept as its digits and a power of ten, so rounding is
// exact: halves go to the even neighbour, as VarUI4FromStr rounds.
win::HRESULT ParseDecimal(std::u16string_view text, win::ULONG& out) {
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';
  std::string digits;
  long long power = 0;
  bool any = false;
  for (; i < text.size(); ++i) {
    if (text[i] >= u'0' && text[i] <= u'9') {
      digits.push_back(static_cast<char>(text[i]));
      any = true;
    } else if (text[i] != u',' || !any) {
      break;
    }
  }
  if (i < text.size() && text[i] == u'.') {
    for (++i; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
      digits.push_back(static_cast<char>(text[i]));
      --power;
      any = true;
    }
  }
  if (!any) return win::DISP_E_TYPEMISMATCH;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    std::size_t j = i + 1;
    bool negativeExponent = false;
    if (j < text.size() && (text[j] == u'+' || text[j] == u'-'))
      negativeExponent = text[j++] == u'-';
    long long exponent = 0;
    const std::size_t first = j;
    for (; j < text.size() && text[j] >= u'0' && text[j] <= u'9'; ++j) {
      if (exponent < 100000) exponent = exponent * 10 + (text[j] - u'0');
    }
    if (j == first) return win::DISP_E_TYPEMISMATCH;
    power += negativeExponent ? -exponent : exponent;
    i = j;
  }
  while (i < text.size() && IsBlank(text[i])) ++i;
  if (i != text.size()) return win::DISP_E_TYPEMISMATCH;

  digits.erase(0, digits.find_first_not_of('0'));
  if (digits.empty()) {
    out = 0;
    return win::S_OK;
  }
  // Split into the whole part and the fraction.
  std::string whole = digits;
  std::string fraction;
  if (power >= 0) {
    if (static_cast<long long>(whole.size()) + power > 10) return win::DISP_E_OVERFLOW;
    whole.append(static_cast<std::size_t>(power), '0');
  } else if (static_cast<long long>(whole.size()) + power <= 0) {
    fraction = std::string(static_cast<std::size_t>(-power) - whole.size(), '0') + whole;
    whole.clear();
  } else {
    fraction = whole.substr(whole.size() - static_cast<std::size_t>(-power));
    whole.resize(whole.size() - static_cast<std::size_t>(-power));
  }
  if (whole.size() > 10) return win::DISP_E_OVERFLOW;
  std::uint64_t value = whole.empty() ? 0 : std::stoull(whole);
  if (!fraction.empty()) {
    const bool aboveHalf =
        fraction[0] > '5' ||
        (fraction[0] == '5' && fraction.find_first_not_of('0', 1) != std::string::npos);
    const bool half = fraction[0] == '5' && !aboveHalf;
    if (aboveHalf || (half && value % 2 == 1)) ++value;
  }
  if (negative && value != 0) return win::DISP_E_OVERFLOW;
  if (value > kMaxUi4) return win::DISP_E_OVERFLOW;
  out = static_cast<win::ULONG>(value);
  return win::S_OK;
}

}  // namespace
}  // namespace sim

namespace win {

LPWSTR CharNextW(LPCWSTR text) {
  // An injected failure leaves the pointer where it is, as at the end of the text.
  if (sim::Intercept("CharNextW") || text == nullptr) return const_cast<LPWSTR>(text);
  if (*text == u'\0') return const_cast<LPWSTR>(text);
  ++text;
  // One unit of a surrogate pair is a step of its own: no documentation says otherwise, and
  // only Windows can show what it does there.
  while (sim::IsCombiningMark(*text)) ++text;
  return const_cast<LPWSTR>(text);
}

// The same one-to-one table as for names: letters whose capital lies in another block (micro
// sign, dotless i, long s, final sigma) and the sharp s stay as they are, as Wine 8 answers.
LPWSTR CharUpperW(LPWSTR text) {
  const auto value = reinterpret_cast<std::uintptr_t>(text);
  const bool single = value <= 0xFFFF;
  // An injected failure changes nothing.
  if (sim::Intercept("CharUpperW")) return text;
  if (single) {
    return reinterpret_cast<LPWSTR>(
        static_cast<std::uintptr_t>(sim::UpperChar(static_cast<char16_t>(value))));
  }
  for (LPWSTR p = text; *p != u'\0'; ++p) *p = sim::UpperChar(*p);
  return text;
}

HRESULT VarUI4FromStr(LPCWSTR text, LCID, ULONG, ULONG* out) {
  if (auto code = sim::Intercept("VarUI4FromStr")) return static_cast<HRESULT>(*code);
  if (out == nullptr) return E_INVALIDARG;
  if (text == nullptr) return DISP_E_TYPEMISMATCH;
  std::u16string_view rest(text);
  while (!rest.empty() && sim::IsBlank(rest.front())) rest.remove_prefix(1);
  if (rest.size() >= 2 && rest[0] == u'&') {
    if (rest[1] == u'H' || rest[1] == u'h') return sim::ParseRadix(rest.substr(2), 16, *out);
    if (rest[1] == u'O' || rest[1] == u'o') return sim::ParseRadix(rest.substr(2), 8, *out);
  }
  return sim::ParseDecimal(rest, *out);
}

}  // namespace win
